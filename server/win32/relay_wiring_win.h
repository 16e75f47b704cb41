// The relay put together with its Win32 parts: listeners, settings store, error log, clock,
// the pacing timer with the window its ticks are posted to, the status port beside it, and the
// driver that starts both and retries what could not be opened. The operator window and the
// service each own one; they differ only in the settings root, the log path, the view and
// whether a failed relay port is retried.
#pragma once

#include <windows.h>

#include <string>

#include "server/headless/unattended_relay.h"
#include "server/net/relay.h"
#include "server/net/relay_events.h"
#include "server/status/status_server.h"
#include "server/win32/journal_folder_win.h"
#include "server/win32/posted_timer_win.h"
#include "server/win32/program_files_win.h"
#include "server/win32/registry_settings_win.h"
#include "server/win32/window_win.h"
#include "server/win32/winsock_listener_win.h"

namespace korrin {

class RelayWiring {
  public:
    // Senders: a generous bound against exhaustion; receivers: one per ReceiverHosts entry.
    static constexpr int kMaxSenders = 1024;
    // SendTimer is created enabled with this design-time interval; start-up sets its own.
    static constexpr int kSendTimerDesignMs = 1000;

    // settingsRoot: HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE.
    RelayWiring(HKEY settingsRoot, std::string logPath, RelayView& view,
                UnattendedRelay::RelayPorts relayPorts);
    RelayWiring(const RelayWiring&) = delete;
    RelayWiring& operator=(const RelayWiring&) = delete;

    Relay& relay() { return relay_; }
    SettingsStore& settings() { return settings_; }
    // Starts the relay and the status port and keeps them listening.
    UnattendedRelay& driver() { return driver_; }
    // Runs the send step and the retry when their ticks are due. The ticks' own messages call
    // it; front ends also call it before dispatching any message, so socket floods cannot hold
    // the pacing up.
    void runDueTicks();

  private:
    class TickWindow final : public Window {
      public:
        explicit TickWindow(RelayWiring& w);
        static constexpr UINT kMsgTick = WM_APP + 1;  // wParam: which timer
        static constexpr WPARAM kSendTimer = 0, kStatusTimer = 1, kRetryTimer = 2, kSpoolTimer = 3;

      private:
        LRESULT onMessage(UINT msg, WPARAM wp, LPARAM lp) override;
        RelayWiring& wiring_;
    };
    // In dependency order; they go in reverse, the listeners before the relay they call.
    TickWindow tickWindow_;
    RegistrySettings settings_;
    FileErrorLog errorLog_;
    PostedTimer sendTimer_;
    SteadyClock clock_;
    Relay relay_;
    SenderEvents inputEvents_;
    ReceiverEvents outputEvents_;
    WinsockListener input_;
    WinsockListener output_;
    PostedTimer statusTimer_;
    StatusServer status_;
    WinsockListener statusListener_;
    PostedTimer retryTimer_;
    UnattendedRelay driver_;
    PostedTimer spoolTimer_;
};

}  // namespace korrin
