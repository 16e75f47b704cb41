// The relay put together with its Win32 parts: listeners, settings store, error log, clock,
// the timers with the window their ticks are posted to, the status port beside it, and the
// driver that starts both and retries what could not be opened. The operator window and the
// service each own one; they differ only in the settings root, the log path, the view and
// whether a failed relay port is retried.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/headless/relay_assembly.h"
#include "server/win32/posted_timer_win.h"
#include "server/win32/program_files_win.h"
#include "server/win32/registry_settings_win.h"
#include "server/win32/window_win.h"

namespace korrin {

class RelayWiring {
  public:
    // Senders: a generous bound against exhaustion; receivers: one per ReceiverHosts entry.
    static constexpr int kMaxSenders = 1024;

    // settingsRoot: HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE.
    RelayWiring(HKEY settingsRoot, std::string logPath, RelayView& view,
                UnattendedRelay::RelayPorts relayPorts);
    RelayWiring(const RelayWiring&) = delete;
    RelayWiring& operator=(const RelayWiring&) = delete;

    Relay& relay() { return parts_.relay(); }
    SettingsStore& settings() { return settings_; }
    // Starts the relay and the status port and keeps them listening.
    UnattendedRelay& driver() { return parts_.driver(); }
    // Runs the send step, the retry and the spool's tick when they are due. The ticks' own
    // messages call it; front ends also call it before dispatching any message, so socket
    // floods cannot hold the pacing up.
    void runDueTicks();

  private:
    using TimerRole = RelayPlatform::TimerRole;
    class TickWindow final : public Window {
      public:
        explicit TickWindow(RelayWiring& w);
        static constexpr UINT kMsgTick = WM_APP + 1;  // wParam: the timer's role

      private:
        LRESULT onMessage(UINT msg, WPARAM wp, LPARAM lp) override;
        RelayWiring& wiring_;
    };
    // A timer of the assembly and what its tick runs.
    struct PostedTick {
        PostedTimer* timer = nullptr;  // the assembly owns it
        std::function<void()> onTick;
        void runIfDue();
    };
    std::unique_ptr<Timer> makeTimer(TimerRole role, std::function<void()> onTick);

    // Above the assembly, which posts its ticks to the window and lists its timers here.
    TickWindow tickWindow_;
    RegistrySettings settings_;
    FileErrorLog errorLog_;
    SteadyClock clock_;
    // The status page's tick waits for its message; the others are taken before any message.
    PostedTick statusTick_;
    std::vector<PostedTick> dueTicks_;  // in the order made: the send step first
    RelayAssembly parts_;
};

}  // namespace korrin
