// The relay and its status port kept serving without anyone at the screen. The service and
// korrin-relay start it here, pass settings changes on (paramchange, SIGHUP) and feed it the
// ticks of one retry timer; the window uses it for its status port, which has no message box.
#pragma once

#include <functional>
#include <string_view>

#include "server/net/relay.h"
#include "server/net/relay_seams.h"
#include "server/status/status_server.h"

namespace korrin {

// The view of a front end nobody looks at: the error log says what failed.
class NoView final : public RelayView {
  public:
    void changed(unsigned) override {}
    void messageBox(std::string_view) override {}
};

// A port that cannot be opened is logged once and tried again every kRetryMs (only the port
// that does not listen), until it works; then the recovery is logged. One timer and one rule
// serve the relay's ports and the status port.
class UnattendedRelay {
  public:
    static constexpr int kRetryMs = 30 * 1000;
    // Who restarts a relay port that failed: nobody, so it is tried again; or the operator,
    // who saw its message box in the window and restarts it in Setup.
    enum class RelayPorts { Retried, LeftToTheOperator };

    UnattendedRelay(Relay& relay, StatusServer& status, SettingsStore& settings, Timer& retryTimer,
                    RelayPorts relayPorts = RelayPorts::Retried);

    // The relay's load, then the status port.
    void start(const std::function<void()>& makeLanguage = nullptr);
    // The listeners restart when their settings changed (the senders go, receivers stay), the
    // status port when its settings did.
    void settingsMayHaveChanged();
    // The retry timer's tick.
    void retryTick();

  private:
    void noteRelay(const ListenResult& r, bool isRetry);
    void armRetry();

    Relay& relay_;
    StatusServer& status_;
    SettingsStore& settings_;
    Timer& retryTimer_;
    RelayPorts relayPorts_;
    bool relayFailing_ = false;
};

}  // namespace korrin
