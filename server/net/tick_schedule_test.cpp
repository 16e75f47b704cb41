#include "server/net/tick_schedule.h"

#include <gtest/gtest.h>

#include <vector>

namespace korrin {
namespace {

using std::chrono::milliseconds;
using TimePoint = TickSchedule::TimePoint;

const TimePoint kStart = TimePoint{} + milliseconds(1000);

// Ticks run late by the given amounts (a stalled machine, a long tick); every gap between two
// ticks is at least the interval, and a late tick is not made up for by a short gap or a burst.
TEST(TickSchedule, NoGapBelowTheIntervalAndNoBurstAfterLateTicks) {
    struct Case {
        const char* name;
        std::vector<int> lateMs;  // how late each tick runs after it was due
    } cases[] = {
        {"on time", {0, 0, 0, 0}},
        {"one late by 45 of 50", {0, 45, 0, 0}},
        {"a stall of 10 intervals", {0, 500, 0, 0}},
        {"late each time", {7, 13, 49, 1}},
    };
    for (const Case& c : cases) {
        TickSchedule s;
        s.setInterval(50, kStart);
        s.setEnabled(true, kStart);
        EXPECT_EQ(s.due(), kStart + milliseconds(50)) << c.name;
        std::vector<TimePoint> ran;
        for (int late : c.lateMs) {
            const TimePoint now = s.due() + milliseconds(late);
            ran.push_back(now);
            s.tickStarts(now);
            s.tickEnds();
            EXPECT_EQ(s.due(), now + milliseconds(50)) << c.name;
        }
        for (size_t i = 1; i < ran.size(); ++i) {
            const auto gap = ran[i] - ran[i - 1];
            EXPECT_GE(gap, milliseconds(50)) << c.name << ", gap " << i;
            // On time after a late tick: exactly the interval, nothing to catch up.
            if (c.lateMs[i] == 0) {
                EXPECT_EQ(gap, milliseconds(50)) << c.name << ", gap " << i;
            }
        }
    }
}

// A change 30 ms after a tick at kStart (interval 50 until then): within the tick the wait
// counts from the tick, outside it from the change.
TEST(TickSchedule, ChangesCountFromTheTickWithinItAndFromNowOutside) {
    constexpr int kOffAndOn = -1;  // instead of a new interval
    struct Case {
        const char* name;
        bool inTick;
        int newInterval;
        int dueMs;  // after kStart; -1: no ticks
    } cases[] = {
        {"interval within the tick", true, 200, 200},
        {"interval after the tick", false, 200, 230},
        {"switched off and on within the tick", true, kOffAndOn, 50},
        {"switched off and on after the tick", false, kOffAndOn, 80},
        {"interval 0 stops it", false, 0, -1},
    };
    for (const Case& c : cases) {
        TickSchedule s;
        s.setInterval(50, kStart - milliseconds(50));
        s.setEnabled(true, kStart - milliseconds(50));
        s.tickStarts(kStart);
        if (!c.inTick) s.tickEnds();
        const TimePoint now = kStart + milliseconds(30);
        if (c.newInterval == kOffAndOn) {
            s.setEnabled(false, now);
            s.setEnabled(true, now);
        } else {
            s.setInterval(c.newInterval, now);
        }
        EXPECT_EQ(s.running(), c.dueMs >= 0) << c.name;
        if (c.dueMs >= 0) {
            EXPECT_EQ(s.due(), kStart + milliseconds(c.dueMs)) << c.name;
        }
    }
}

}  // namespace
}  // namespace korrin
