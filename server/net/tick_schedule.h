// When the relay's next send step is due. The pace caps the output at one line per interval
// for receivers that need that spacing, so it counts from when a step really ran.
#pragma once

#include <chrono>

namespace korrin {

// Never sooner than the interval after the moment the last step ran: a late step is not made
// up for, and a stall is followed by one step, not a burst. Times are of the caller's clock.
template <typename TimePoint>
class Pacing {
public:
    using Duration = typename TimePoint::duration;

    void setInterval(Duration interval) { interval_ = interval; }
    Duration interval() const { return interval_; }

    // A step starts at `now`; returns when the next one is due.
    TimePoint stepRuns(TimePoint now) {
        lastStep_ = now;
        stepped_ = true;
        return now + interval_;
    }
    // Armed again at `now` (interval changed, switched on). From within a step it counts from
    // that step, so the step's own run time does not stretch the pace.
    TimePoint armed(TimePoint now, bool inStep) const {
        return (inStep && stepped_ ? lastStep_ : now) + interval_;
    }

private:
    Duration interval_{};
    TimePoint lastStep_{};
    bool stepped_ = false;
};

}  // namespace korrin
