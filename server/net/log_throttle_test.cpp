#include "log_throttle.h"

#include <gtest/gtest.h>

namespace korrin {
namespace {

TEST(LogThrottle, OneLinePerKeyAndMinute) {
    LogThrottle t;
    struct Step {
        const char* key;
        uint64_t nowMs;
        bool want;
    } steps[] = {
        {"a", 1000, true},   {"a", 1001, false}, {"b", 1001, true},
        {"a", 60999, false}, {"a", 61000, true}, {"a", 61001, false},
    };
    for (const Step& s : steps) EXPECT_EQ(t.allow(s.key, s.nowMs), s.want) << s.key << s.nowMs;
}

}  // namespace
}  // namespace korrin
