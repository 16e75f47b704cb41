#include "relay_wiring_win.h"

namespace korrin {

class RelayWiring::InputEvents final : public ListenerEvents {
public:
    explicit InputEvents(RelayWiring& w) : w_(w) {}
    bool connectionRequest(const IpAddress& peer) override {
        return w_.relay_->senderRequest(peer);
    }
    void connectionOpened(int id) override { w_.relay_->senderOpened(id); }
    void dataIn(int id, std::string_view text, bool eol) override {
        w_.relay_->senderData(id, text, eol);
    }
    void connectionClosed(int id) override { w_.relay_->senderClosed(id); }
    void error(int code, std::string_view d) override { w_.relay_->inputError(code, d); }

private:
    RelayWiring& w_;
};

class RelayWiring::OutputEvents final : public ListenerEvents {
public:
    explicit OutputEvents(RelayWiring& w) : w_(w) {}
    bool connectionRequest(const IpAddress& peer) override {
        return w_.relay_->receiverRequest(peer);
    }
    void connectionOpened(int id) override { w_.relay_->receiverOpened(id); }
    void dataIn(int, std::string_view, bool) override {}
    void connectionClosed(int id) override { w_.relay_->receiverClosed(id); }
    void error(int, std::string_view) override {}  // the output listener's errors are not kept

private:
    RelayWiring& w_;
};

RelayWiring::RelayWiring(HWND tickTarget, UINT tickMessage, WPARAM tickId, HKEY settingsRoot,
                         std::string logPath, RelayView& view)
    : inputEvents_(std::make_unique<InputEvents>(*this)),
      outputEvents_(std::make_unique<OutputEvents>(*this)),
      listener1_(std::make_unique<WinsockListener>(*inputEvents_, kMaxSenders)),
      listener2_(std::make_unique<WinsockListener>(*outputEvents_, Relay::kTableSize)),
      settings_(std::make_unique<RegistrySettings>(settingsRoot, "Oxa Software", "VarnelServer")),
      errorLog_(std::make_unique<FileErrorLog>(std::move(logPath))),
      sendTimer_(std::make_unique<PostedTimer>(tickTarget, tickMessage, tickId)) {
    // SendTimer is created enabled with its design-time interval.
    sendTimer_->setInterval(1000);
    sendTimer_->setEnabled(true);
    relay_ = std::make_unique<Relay>(*listener1_, *listener2_, *settings_, *sendTimer_,
                                     *errorLog_, view, clock_);
}

// The relay goes first: nothing may call it from a listener being torn down.
RelayWiring::~RelayWiring() {
    relay_.reset();
    listener1_.reset();
    listener2_.reset();
    sendTimer_.reset();
}

void RelayWiring::runDueTick() {
    if (sendTimer_->takeTick()) {
        relay_->Send_Msg();
        sendTimer_->tickDone();
    }
}

}  // namespace korrin
