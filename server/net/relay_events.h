// The relay as the events of its two listeners: what every front end plugs into them.
#pragma once

#include "server/net/listener.h"
#include "server/net/relay.h"

namespace korrin {

class SenderEvents final : public ListenerEvents {
  public:
    explicit SenderEvents(Relay& r) : relay_(r) {}
    bool connectionRequest(const IpAddress& peer) override { return relay_.senderRequest(peer); }
    void connectionOpened(int id) override { relay_.senderOpened(id); }
    void dataIn(int id, std::string_view text, bool eol) override {
        relay_.senderData(id, text, eol);
    }
    void connectionClosed(int id) override { relay_.senderClosed(id); }
    void error(int code, std::string_view d) override { relay_.logError(code, d); }

  private:
    Relay& relay_;
};

class ReceiverEvents final : public ListenerEvents {
  public:
    explicit ReceiverEvents(Relay& r) : relay_(r) {}
    bool connectionRequest(const IpAddress& peer) override { return relay_.receiverRequest(peer); }
    void connectionOpened(int id) override { relay_.receiverOpened(id); }
    void dataIn(int, std::string_view, bool) override {}
    void connectionClosed(int id) override { relay_.receiverClosed(id); }
    void error(int, std::string_view) override {}  // the output listener's errors are not kept

  private:
    Relay& relay_;
};

// For a front end without an operator (the service, the Linux daemon): a failed start of the
// listeners is logged once and tried again on a timer, only the port that does not listen,
// until it works; then the recovery is logged.
class ListenKeeper {
  public:
    static constexpr int kRetryMs = 30 * 1000;
    ListenKeeper(Relay& relay, Timer& retryTimer) : relay_(relay), timer_(retryTimer) {}

    // After a start or a restart by the operator's hand (load, paramchange, SIGHUP).
    void started(const ListenResult& r) { note(r, false); }
    // The retry timer's tick: settings changed meanwhile restart both ports.
    void retry(const ListenerSettings& now) {
        note(now != relay_.listenerSettings() ? relay_.Init_IP(now) : relay_.reopenListeners(),
             true);
    }

  private:
    void note(const ListenResult& r, bool isRetry) {
        if (r.ok()) {
            if (failing_) relay_.logError(0, "Ports open again");
            failing_ = false;
            timer_.setEnabled(false);
            return;
        }
        if (!failing_ || !isRetry) relay_.logError(r.error, "Error setting Portaddress");
        failing_ = true;
        timer_.setInterval(kRetryMs);
        timer_.setEnabled(true);
    }
    Relay& relay_;
    Timer& timer_;
    bool failing_ = false;
};

}  // namespace korrin
