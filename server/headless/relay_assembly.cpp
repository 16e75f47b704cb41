#include "server/headless/relay_assembly.h"

namespace korrin {

using TimerRole = RelayPlatform::TimerRole;

// A listener only keeps its events when it is made; they are made next, before it can
// deliver any.
RelayAssembly::RelayAssembly(const RelayPlatform& p)
    : RelayAssembly(p, Listeners{p.makeListener(senderEvents_, p.maxSenders),
                                 p.makeListener(receiverEvents_, Relay::kTableSize),
                                 p.makeListener(status_, StatusServer::kMaxConnections)}) {}

RelayAssembly::RelayAssembly(const RelayPlatform& p, Listeners listeners)
    : sendTimer_(p.makeTimer(TimerRole::Send, [this] { relay_.Send_Msg(); })),
      statusTimer_(p.makeTimer(TimerRole::Status, [this] { status_.tick(); })),
      retryTimer_(p.makeTimer(TimerRole::Retry, [this] { driver_.retryTick(); })),
      spoolTimer_(p.makeTimer(TimerRole::Spool, [this] { relay_.spoolTick(); })),
      relay_(*listeners.input, *listeners.output, p.settings, *sendTimer_, p.log, p.view, p.clock),
      senderEvents_(relay_),
      receiverEvents_(relay_),
      input_(std::move(listeners.input)),
      output_(std::move(listeners.output)),
      status_(*listeners.status, relay_, p.settings, p.version),
      statusListener_(std::move(listeners.status)),
      driver_(relay_, status_, p.settings, *retryTimer_, p.relayPorts) {
    sendTimer_->setInterval(kSendTimerDesignMs);
    sendTimer_->setEnabled(true);
    statusTimer_->setInterval(kStatusTickMs);
    statusTimer_->setEnabled(true);
    spoolTimer_->setEnabled(false);  // until the relay arms it
    relay_.useSpool(p.makeFolder, *spoolTimer_);
}

}  // namespace korrin
