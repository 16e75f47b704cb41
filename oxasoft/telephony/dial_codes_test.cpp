// Dial-letter codes and the dial-string test.
#include "oxasoft/telephony/dial_codes.h"

#include <gtest/gtest.h>

#include <string>

namespace oxa::telephony {
namespace {

TEST(MakeEnbDial, OneLetterPerCharacter) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"12*#0", "ABKLJ"},
        {"1B2C", "AKBL"},
        {"p9", "pI"},
        {"bc", "bc"},
        {"", ""},
        {"123456789", "ABCDEFGHI"},
        {std::string("1\0"
                     "2",
                     3),
         std::string("A\0"
                     "B",
                     3)},
        {"\xB1\xff", "\xB1\xff"},
    };
    for (const auto& c : cases) EXPECT_EQ(enb_dial(c.in), c.out) << c.in;
}

TEST(IsDialString, OnlyDigitsStarAndHash) {
    const struct {
        std::string in;
        bool dial;
    } cases[] = {
        {"12*#", true},
        {"0", true},
        {"", false},
        {"12 3", false},
        {"+49", false},
        {"123a", false},
        {"a123", false},
        {std::string("1\0"
                     "2",
                     3),
         false},
    };
    for (const auto& c : cases) EXPECT_EQ(is_dial_string(c.in), c.dial) << c.in;
}

}  // namespace
}  // namespace oxa::telephony
