#include "oxasoft/codecs/hex_number.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(HexToNumber, ValueAndRewrittenText) {
    struct Row {
        std::string in;
        std::int32_t value;
        std::string after;
    };
    const Row rows[] = {
        {"1f", 31, "1F"},
        {"&H1F", 31, "1F"},
        {"&h1f", 31, "1F"},
        {"0x1f", 31, "1F"},
        {"00FF", -1, "00FF"},
        {"0", 0, "0"},
        {"", -1, ""},
        {"G1", -1, "G1"},
        {"123456789", -1, "123456789"},
        {"1FH", -1, ""},  // nothing follows the H
        {"7FFFFFFF", 2147483647, "7FFFFFFF"},
        {"80000000", INT32_MIN, "80000000"},
        {"FFFFFFFF", -1, "FFFFFFFF"},
        {"12345678", 0x12345678, "12345678"},
        {"100000000", -1, "100000000"},  // nine digits, even though it wraps to 0
        {" 1F", -1, " 1F"},
        {"1F ", -1, "1F "},
        {"AXBH12", 0x12, "12"},  // H is looked for first
        {"1x2h", -1, ""},
        {"xff", 255, "FF"},
    };
    for (const Row& r : rows) {
        std::string text = r.in;
        EXPECT_EQ(oxa::codecs::hex_to_number(text), r.value) << r.in;
        EXPECT_EQ(text, r.after) << r.in;
    }
}

TEST(HexToNumber, LongTextIsInvalid) {
    std::string text(300, 'F');
    EXPECT_EQ(oxa::codecs::hex_to_number(text), -1);
}

TEST(UpperCase437, AsciiAndAccentedLetters) {
    std::string text =
        "az\x84\x94\x81\x82\xA4\x86\x87"
        "AZ09\x8E\xE1";
    oxa::codecs::upper_case_437(text);
    EXPECT_EQ(text,
              "AZ\x8E\x99\x9A\x90\xA5\x8F\x80"
              "AZ09\x8E\xE1");
}

}  // namespace
