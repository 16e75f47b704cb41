// When a repeating timer's next tick is due, for every platform's timer (PostedTimer, FdTimer):
// they only wait for due() and call tickStarts/tickEnds around the tick. The relay's pace caps
// the output at one line per interval for receivers that need that spacing, so it counts from
// when a tick really ran.
#pragma once

#include <chrono>

namespace korrin {

// Never sooner than the interval after the moment the last tick ran: a late tick is not made
// up for, and a stall is followed by one tick, not a burst.
class TickSchedule {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // Restarts the wait. 0 or less: no ticks.
    void setInterval(int ms, TimePoint now) {
        interval_ = std::chrono::milliseconds(ms < 0 ? 0 : ms);
        rearm(now);
    }
    // Switched on, the first tick is due an interval later; the same state again changes nothing.
    void setEnabled(bool on, TimePoint now) {
        if (enabled_ == on) return;
        enabled_ = on;
        rearm(now);
    }
    int interval() const { return static_cast<int>(interval_.count()); }
    bool enabled() const { return enabled_; }
    // Whether ticks come at all.
    bool running() const { return enabled_ && interval_.count() > 0; }
    // The next tick's time, while running.
    TimePoint due() const { return due_; }

    // A tick starts at `now`, however late; the next one is due an interval after it.
    void tickStarts(TimePoint now) {
        lastTick_ = now;
        inTick_ = true;
        due_ = now + interval_;
    }
    void tickEnds() { inTick_ = false; }

  private:
    // From within a tick the wait counts from that tick, so its own run time does not stretch
    // the pace; otherwise from now.
    void rearm(TimePoint now) { due_ = (inTick_ ? lastTick_ : now) + interval_; }

    std::chrono::milliseconds interval_{0};
    bool enabled_ = false;
    bool inTick_ = false;
    TimePoint lastTick_{};
    TimePoint due_{};
};

}  // namespace korrin
