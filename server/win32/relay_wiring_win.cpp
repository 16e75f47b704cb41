#include "server/win32/relay_wiring_win.h"

namespace korrin {

RelayWiring::TickWindow::TickWindow(RelayWiring& w) : wiring_(w) {
    createMessageOnly("KorrinTickSink");
}

LRESULT RelayWiring::TickWindow::onMessage(UINT msg, WPARAM wp, LPARAM lp) {
    if (msg != kMsgTick) return Window::onMessage(msg, wp, lp);
    if (wp != kStatusTimer) {
        wiring_.runDueTicks();
    } else if (wiring_.statusTimer_.takeTick()) {
        wiring_.status_.tick();
        wiring_.statusTimer_.tickDone();
    }
    return 0;
}

RelayWiring::RelayWiring(HKEY settingsRoot, std::string logPath, RelayView& view,
                         UnattendedRelay::RelayPorts relayPorts)
    : tickWindow_(*this),
      settings_(settingsRoot, kSettingsApplication, kSettingsSection),
      errorLog_(std::move(logPath)),
      sendTimer_(tickWindow_.hwnd(), TickWindow::kMsgTick, TickWindow::kSendTimer),
      relay_(input_, output_, settings_, sendTimer_, errorLog_, view, clock_),
      inputEvents_(relay_),
      outputEvents_(relay_),
      input_(inputEvents_, kMaxSenders),
      output_(outputEvents_, Relay::kTableSize),
      statusTimer_(tickWindow_.hwnd(), TickWindow::kMsgTick, TickWindow::kStatusTimer),
      status_(statusListener_, relay_, settings_, KORRIN_VERSION),
      statusListener_(status_, StatusServer::kMaxConnections),
      retryTimer_(tickWindow_.hwnd(), TickWindow::kMsgTick, TickWindow::kRetryTimer),
      driver_(relay_, status_, settings_, retryTimer_, relayPorts),
      spoolTimer_(tickWindow_.hwnd(), TickWindow::kMsgTick, TickWindow::kSpoolTimer) {
    sendTimer_.setInterval(kSendTimerDesignMs);
    sendTimer_.setEnabled(true);
    statusTimer_.setInterval(1000);
    statusTimer_.setEnabled(true);
    spoolTimer_.setEnabled(false);
    relay_.useSpool([](const std::string& path) { return std::make_unique<WinFolder>(path); },
                    spoolTimer_);
}

void RelayWiring::runDueTicks() {
    if (sendTimer_.takeTick()) {
        relay_.Send_Msg();
        sendTimer_.tickDone();
    }
    if (retryTimer_.takeTick()) {
        driver_.retryTick();
        retryTimer_.tickDone();
    }
    if (spoolTimer_.takeTick()) {
        relay_.spoolTick();
        spoolTimer_.tickDone();
    }
}

}  // namespace korrin
