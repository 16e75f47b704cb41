#include "server/net/pacing.h"

#include <gtest/gtest.h>

#include <vector>

namespace korrin {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Steps run late by the given amounts (a stalled machine, a long step); every gap between two
// steps is at least the interval, and a late step is not made up for by a short gap after it.
TEST(Pacing, NoGapBelowTheIntervalAfterLateSteps) {
    struct Case {
        const char* name;
        std::vector<int> lateMs;  // how late each step runs after it was due
    } cases[] = {
        {"on time", {0, 0, 0, 0}},
        {"one late by 45 of 50", {0, 45, 0, 0}},
        {"a stall of 10 intervals", {0, 500, 0, 0}},
        {"late each time", {7, 13, 49, 1}},
    };
    for (const Case& c : cases) {
        Pacing<Clock::time_point> pacing;
        pacing.setInterval(milliseconds(50));
        Clock::time_point due = pacing.armed(Clock::time_point{} + milliseconds(1000), false);
        std::vector<Clock::time_point> ran;
        for (int late : c.lateMs) {
            const Clock::time_point now = due + milliseconds(late);
            ran.push_back(now);
            due = pacing.stepRuns(now);
        }
        for (size_t i = 1; i < ran.size(); ++i) {
            const auto gap = ran[i] - ran[i - 1];
            EXPECT_GE(gap, milliseconds(50)) << c.name << ", gap " << i;
            // On time after a late step: exactly the interval, no burst to catch up.
            if (c.lateMs[i] == 0) {
                EXPECT_EQ(gap, milliseconds(50)) << c.name << ", gap " << i;
            }
        }
    }
}

// Re-armed from within a step (the interval changed), the next step counts from that step;
// re-armed outside one, from the moment of arming.
TEST(Pacing, ArmedWithinAStepCountsFromTheStep) {
    Pacing<Clock::time_point> pacing;
    pacing.setInterval(milliseconds(50));
    const Clock::time_point step = Clock::time_point{} + milliseconds(1000);
    pacing.stepRuns(step);
    pacing.setInterval(milliseconds(200));
    EXPECT_EQ(pacing.armed(step + milliseconds(30), true), step + milliseconds(200));
    EXPECT_EQ(pacing.armed(step + milliseconds(30), false), step + milliseconds(230));
}

}  // namespace
}  // namespace korrin
