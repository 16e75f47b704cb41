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
    void linesIn(int id, const std::vector<std::string_view>& lines) override {
        relay_.senderLines(id, lines);
    }
    void connectionClosed(int id) override { relay_.senderClosed(id); }
    void readDone(int) override { relay_.senderReadDone(); }
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

}  // namespace korrin
