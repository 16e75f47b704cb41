// Test mode's generated line, as a pure function of the typed bounds and two draws.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korrin {

// "SI", k, ";", n with n = floor((upper - lower + 1) * r + lower) and k = floor(s * 6 + 1);
// the bounds are the leading numbers of the typed texts (0 when there is none).
std::string testModeMessage(std::string_view lowerText, std::string_view upperText, double r,
                            double s);

// A uniform draw from [0, 1) of a generator freshly seeded with the given value.
double drawFromSeed(uint64_t seed);

}  // namespace korrin
