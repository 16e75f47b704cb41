#include "server/win32/relay_wiring_win.h"

#include "server/win32/journal_folder_win.h"
#include "server/win32/winsock_listener_win.h"

namespace korrin {

RelayWiring::TickWindow::TickWindow(RelayWiring& w) : wiring_(w) {
    createMessageOnly("KorrinTickSink");
}

LRESULT RelayWiring::TickWindow::onMessage(UINT msg, WPARAM wp, LPARAM lp) {
    if (msg != kMsgTick) return Window::onMessage(msg, wp, lp);
    if (wp == static_cast<WPARAM>(TimerRole::Status)) {
        wiring_.statusTick_.runIfDue();
    } else {
        wiring_.runDueTicks();
    }
    return 0;
}

RelayWiring::RelayWiring(HKEY settingsRoot, std::string logPath, RelayView& view,
                         UnattendedRelay::RelayPorts relayPorts)
    : tickWindow_(*this),
      settings_(settingsRoot, kSettingsApplication, kSettingsSection),
      errorLog_(std::move(logPath)),
      parts_(RelayPlatform{
          [](ListenerEvents& events, int bound) {
              return std::make_unique<WinsockListener>(events, bound);
          },
          [this](TimerRole role, std::function<void()> onTick) {
              return makeTimer(role, std::move(onTick));
          },
          [](const std::string& path) { return std::make_unique<WinFolder>(path); }, errorLog_,
          settings_, view, clock_, kMaxSenders, KORRIN_VERSION, relayPorts}) {}

std::unique_ptr<Timer> RelayWiring::makeTimer(TimerRole role, std::function<void()> onTick) {
    auto timer = std::make_unique<PostedTimer>(tickWindow_.hwnd(), TickWindow::kMsgTick,
                                               static_cast<WPARAM>(role));
    PostedTick tick{timer.get(), std::move(onTick)};
    if (role == TimerRole::Status) {
        statusTick_ = std::move(tick);
    } else {
        dueTicks_.push_back(std::move(tick));
    }
    return timer;
}

void RelayWiring::PostedTick::runIfDue() {
    if (!timer->takeTick()) return;
    onTick();
    timer->tickDone();
}

void RelayWiring::runDueTicks() {
    for (PostedTick& tick : dueTicks_) tick.runIfDue();
}

}  // namespace korrin
