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

TEST(LogThrottle, AFloodOfKeysStillHoldsBackTheLatest) {
    LogThrottle t;
    for (int i = 0; i < 5000; ++i) t.allow(std::to_string(i), 0);
    EXPECT_FALSE(t.allow("4999", 1));
    EXPECT_TRUE(t.allow("4999", 60000));
}

}  // namespace
}  // namespace korrin
