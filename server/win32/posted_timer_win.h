// The pacing timer of the relay on Win32.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "server/net/tick_schedule.h"
#include "server/net/relay_seams.h"

namespace korrin {

// A timer whose ticks arrive as posted messages (wParam = id). Posted messages keep their
// place among the socket messages, so a flood of network events cannot starve the ticks the
// way a WM_TIMER would be starved.
class PostedTimer final : public Timer {
  public:
    PostedTimer(HWND target, UINT message, WPARAM id);
    ~PostedTimer() override;
    PostedTimer(const PostedTimer&) = delete;
    PostedTimer& operator=(const PostedTimer&) = delete;

    void setInterval(int ms) override;
    void setEnabled(bool on) override;
    // Call on the GUI thread, for each tick message and before dispatching any message:
    // true once per tick that is due (the caller runs it), false otherwise.
    bool takeTick();
    // The handler of the tick that takeTick gave has returned.
    void tickDone();
    int interval() const { return schedule_.interval(); }
    bool enabled() const { return schedule_.enabled(); }

  private:
    void rearm();  // the schedule changed: wake the helper thread (with mu_ held)
    void run();

    HWND target_;
    UINT message_;
    WPARAM id_;
    std::mutex mu_;
    std::condition_variable cv_;
    TickSchedule schedule_;
    bool posted_ = false;  // a tick is due and not yet taken; post no second one meanwhile
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace korrin
