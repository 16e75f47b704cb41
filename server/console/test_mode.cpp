#include "server/console/test_mode.h"

#include <cmath>
#include <cstdio>
#include <random>

#include "server/net/leading_number.h"

namespace korrin {

namespace {
std::string wholeNumber(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.0f", v);
    std::string s(buf);
    return s == "-0" ? "0" : s;
}
}  // namespace

std::string testModeMessage(std::string_view lowerText, std::string_view upperText, double r,
                            double s) {
    const double lower = leadingNumber(lowerText).value_or(0);
    const double upper = leadingNumber(upperText).value_or(0);
    const double n = std::floor((upper - lower + 1) * r + lower);
    const double k = std::floor(s * 6 + 1);
    return "SI" + wholeNumber(k) + ";" + wholeNumber(n);
}

double drawFromSeed(uint64_t seed) {
    std::mt19937_64 gen(seed);
    // 53 random bits scaled into [0, 1): never 1.
    return static_cast<double>(gen() >> 11) * (1.0 / 9007199254740992.0);
}

}  // namespace korrin
