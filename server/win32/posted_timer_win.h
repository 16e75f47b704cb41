// The pacing timer of the relay on Win32.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "server/net/pacing.h"
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
    int interval() const { return interval_; }
    bool enabled() const { return enabled_; }

  private:
    void rearm();  // with mu_ held
    void run();

    HWND target_;
    UINT message_;
    WPARAM id_;
    std::mutex mu_;
    std::condition_variable cv_;
    int interval_ = 0;
    bool enabled_ = false;
    bool posted_ = false;  // a tick is due and not yet taken; post no second one meanwhile
    bool stop_ = false;
    std::chrono::steady_clock::time_point due_;
    bool inTick_ = false;  // between takeTick and tickDone
    Pacing<std::chrono::steady_clock::time_point> pacing_;
    std::thread thread_;
};

}  // namespace korrin
