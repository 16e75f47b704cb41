#include "server/headless/unattended_relay.h"

namespace korrin {

UnattendedRelay::UnattendedRelay(Relay& relay, StatusServer& status, SettingsStore& settings,
                                 Timer& retryTimer, RelayPorts relayPorts)
    : relay_(relay),
      status_(status),
      settings_(settings),
      retryTimer_(retryTimer),
      relayPorts_(relayPorts) {
    retryTimer_.setEnabled(false);
    retryTimer_.setInterval(kRetryMs);
}

void UnattendedRelay::start(const std::function<void()>& makeLanguage) {
    noteRelay(relay_.load(makeLanguage), false);
    status_.applySettings();
    armRetry();
}

void UnattendedRelay::settingsMayHaveChanged() {
    const ListenerSettings now = readListenerSettings(settings_);
    if (now != relay_.listenerSettings()) noteRelay(relay_.Init_IP(now), false);
    status_.applySettings();
    armRetry();
}

void UnattendedRelay::retryTick() {
    if (relayFailing_) {
        // Settings changed meanwhile restart both ports.
        const ListenerSettings now = readListenerSettings(settings_);
        noteRelay(now != relay_.listenerSettings() ? relay_.Init_IP(now) : relay_.reopenListeners(),
                  true);
    }
    status_.retry();
    armRetry();
}

// The first failure after a start or restart is logged, the failures of the retries are not.
void UnattendedRelay::noteRelay(const ListenResult& r, bool isRetry) {
    if (relayPorts_ == RelayPorts::LeftToTheOperator) return;
    if (r.ok()) {
        if (relayFailing_) relay_.logError(0, "Ports open again");
        relayFailing_ = false;
        return;
    }
    if (!relayFailing_ || !isRetry) relay_.logError(r.error, "Error setting Portaddress");
    relayFailing_ = true;
}

// Switching on what is on already keeps the wait: a second failing port waits no longer.
void UnattendedRelay::armRetry() {
    retryTimer_.setEnabled(relayFailing_ || status_.retrying());
}

}  // namespace korrin
