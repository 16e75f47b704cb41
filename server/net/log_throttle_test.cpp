#include "server/net/log_throttle.h"
#include "server/net/refusal_log.h"

#include <gtest/gtest.h>

namespace korrin {
namespace {

TEST(LogThrottle, OneLinePerKeyAndMinute) {
    LogThrottle t;
    struct Step {
        const char* key;
        int nowMs;
        bool want;
    } steps[] = {
        {"a", 1000, true},   {"a", 1001, false}, {"b", 1001, true},
        {"a", 60999, false}, {"a", 61000, true}, {"a", 61001, false},
    };
    for (const Step& s : steps)
        EXPECT_EQ(t.allow(s.key, LogThrottle::TimePoint(std::chrono::milliseconds(s.nowMs))),
                  s.want)
            << s.key << s.nowMs;
}

}  // namespace
}  // namespace korrin

namespace korrin {
namespace {

TEST(RefusalLog, PerPeerAndMinuteIpv6Per64AndATotalCapWithACount) {
    RefusalLog log;
    auto at = [](int ms) { return RefusalLog::TimePoint(std::chrono::milliseconds(ms)); };
    auto lines = [&](const char* peer, int port, int ms) {
        return log.refused(*parseIpAddress(peer), port, at(ms)).size();
    };
    struct Step {
        const char* peer;
        int port, ms;
        size_t lines;
    } steps[] = {
        {"2001:db8::1", 1, 0, 1},     {"2001:db8::ffff", 1, 1, 0},  // the same /64
        {"2001:db8:0:1::1", 1, 2, 1}, {"2001:db8::1", 2, 3, 1},     // another /64, port
        {"10.0.0.1", 1, 4, 1},        {"10.0.0.1", 1, 5, 0},       {"10.0.0.2", 1, 6, 1},
    };
    for (const Step& s : steps) EXPECT_EQ(lines(s.peer, s.port, s.ms), s.lines) << s.peer;
    for (int i = 0; i < 30; ++i) lines(("10.1.0." + std::to_string(i)).c_str(), 1, 100 + i);
    EXPECT_EQ(log.summaryDue(at(59999)), "");
    // 5 lines above and 15 of the 30: the other 15 are counted once the minute is over.
    EXPECT_EQ(log.summaryDue(at(60000)), "15 more connections refused in the last minute");
    EXPECT_EQ(log.summaryDue(at(200000)), "");
    EXPECT_EQ(log.refused(*parseIpAddress("10.1.0.29"), 1, at(200001)),
              std::vector<std::string>{"Connection from 10.1.0.29 to port 1 refused"});
}

}  // namespace
}  // namespace korrin
