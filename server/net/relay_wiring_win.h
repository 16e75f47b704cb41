// The relay put together with its Win32 parts: listeners, settings store, error log and the
// pacing timer. The operator window and the service each own one.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "relay.h"
#include "win32_ports_win.h"
#include "winsock_listener_win.h"

namespace korrin {

class RelayWiring {
public:
    // Senders: a generous bound against exhaustion; receivers: one per ReceiverHosts entry.
    static constexpr int kMaxSenders = 1024;

    // tickTarget receives tickMessage (wParam tickId) when the send step is due; the owner
    // then calls runDueTick. settingsRoot: HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE.
    RelayWiring(HWND tickTarget, UINT tickMessage, WPARAM tickId, HKEY settingsRoot,
                std::string logPath, RelayView& view);
    ~RelayWiring();
    RelayWiring(const RelayWiring&) = delete;
    RelayWiring& operator=(const RelayWiring&) = delete;

    Relay& relay() { return *relay_; }
    SettingsStore& settings() { return *settings_; }
    // Runs the send step when its tick is due; call for each tick message and before any
    // message is dispatched, so socket floods cannot hold the pacing up.
    void runDueTick();

private:
    class InputEvents;
    class OutputEvents;

    std::unique_ptr<InputEvents> inputEvents_;
    std::unique_ptr<OutputEvents> outputEvents_;
    std::unique_ptr<WinsockListener> listener1_, listener2_;
    std::unique_ptr<RegistrySettings> settings_;
    std::unique_ptr<FileErrorLog> errorLog_;
    std::unique_ptr<PostedTimer> sendTimer_;
    SteadyClock clock_;
    std::unique_ptr<Relay> relay_;
};

}  // namespace korrin
