#include "server/console/test_mode.h"

#include <gtest/gtest.h>

#include <set>

namespace korrin {
namespace {

struct Parsed {
    int k;
    long long n;
};
Parsed parse(const std::string& msg) {
    EXPECT_EQ(msg.substr(0, 2), "SI");
    size_t semi = msg.find(';');
    EXPECT_NE(semi, std::string::npos);
    return {std::stoi(msg.substr(2, semi - 2)), std::stoll(msg.substr(semi + 1))};
}

TEST(TestMode, MessagesStayInsideTheTypedBounds) {
    struct Case {
        const char* lower;
        const char* upper;
        long long minN, maxN;
    } cases[] = {
        {"99", "111", 99, 111},  {"5", "5", 5, 5},
        {"111", "99", 100, 111},  // reversed: from upper + 1 to lower
        {"", "", 0, 0},           // both prompts cancelled
        {"0", "12abc", 0, 12},
    };
    const double draws[] = {0.0, 1e-9, 0.25, 0.5, 0.75, 0.999999999};
    for (const Case& c : cases) {
        std::set<long long> seen;
        for (double r : draws) {
            for (double s : draws) {
                Parsed p = parse(testModeMessage(c.lower, c.upper, r, s));
                EXPECT_GE(p.k, 1);
                EXPECT_LE(p.k, 6);
                EXPECT_GE(p.n, c.minN) << c.lower << ".." << c.upper << " r=" << r;
                EXPECT_LE(p.n, c.maxN) << c.lower << ".." << c.upper << " r=" << r;
                seen.insert(p.n);
            }
        }
        EXPECT_EQ(*seen.begin(), c.minN);
        EXPECT_EQ(*seen.rbegin(), c.maxN);
    }
}

TEST(TestMode, MessageHasNoBlanksOrFractionDigits) {
    EXPECT_EQ(testModeMessage("99", "111", 0.4, 0.4), "SI3;104");
    EXPECT_EQ(testModeMessage("0", "0", 0.0, 0.0), "SI1;0");
    EXPECT_EQ(testModeMessage("-3", "-3", 0.9, 0.99), "SI6;0");  // a sign begins no number
}

TEST(TestMode, FreshSeedsGiveIndependentUniformDraws) {
    std::set<double> draws;
    for (uint64_t seed = 1; seed <= 1000; ++seed) {
        double d = drawFromSeed(seed * 7919);
        EXPECT_GE(d, 0.0);
        EXPECT_LT(d, 1.0);
        draws.insert(d);
    }
    EXPECT_EQ(draws.size(), 1000u);
    EXPECT_EQ(drawFromSeed(42), drawFromSeed(42));
}

}  // namespace
}  // namespace korrin
