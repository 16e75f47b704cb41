// Number formatter over location values: the examples of a Berlin location and the cases
// where the location values are missing.
#include "oxasoft/telephony/tel_format.h"

#include <gtest/gtest.h>

namespace oxa::telephony {
namespace {

const Location kBerlin{"49", "30", "8", "9", "00EFG", "0FG"};

struct Case {
    const char* number;
    Location loc;
    const char* expected;
};

class ChangeTelFormatTest : public ::testing::TestWithParam<Case> {};

TEST_P(ChangeTelFormatTest, Formats) {
    const Case& c = GetParam();
    EXPECT_EQ(change_tel_format(c.number, c.loc), c.expected) << c.number;
}

INSTANTIATE_TEST_SUITE_P(
    Berlin, ChangeTelFormatTest,
    ::testing::Values(
        Case{"+49 (30) 123-45", kBerlin, "912345"}, Case{"+49 (89) 765", kBerlin, "8089765"},
        Case{"+49 89 765", kBerlin, "989765"}, Case{"+33 (1) 2345", kBerlin, "9003312345"},
        Case{"+49 (301) 99", kBerlin, "9199"}, Case{"+49", kBerlin, "9"},
        Case{"+49 (30)", kBerlin, "9"}, Case{"030/123 45", kBerlin, "03012345"},
        Case{"", kBerlin, ""}, Case{"+", kBerlin, "900"}, Case{"abc +49 (30) 1", kBerlin, "91"},
        // The national part is a 23-character field, cut before the area test.
        Case{"+49 (30) 1234567890123456789012345", kBerlin, "91234567890123456789"},
        Case{"+49 (89) 1234567890123456789012345", kBerlin, "80891234567890123456789"},
        // A longer prefix in place of "(" cuts the field again.
        Case{"+49 (89) 1234567890123456789012345",
             {"49", "30", "8", "9", "00EFG", "01FG"},
             "80189123456789012345678"}));

INSTANTIATE_TEST_SUITE_P(
    MissingValues, ChangeTelFormatTest,
    ::testing::Values(
        // No country code: every "+" number is taken as the own country.
        Case{"+33 (1) 2345", {"", "30", "8", "9", "00EFG", "0FG"}, "933012345"},
        // No area code: any bracketed area is the own area.
        Case{"+49 (89) 765", {"49", "", "8", "9", "00EFG", "0FG"}, "989765"},
        // No rules: brackets just go; abroad the country code follows the access code.
        Case{"+49 (89) 765", {"49", "30", "8", "9", "", ""}, "889765"},
        Case{"+33 (1) 2345", {"49", "30", "8", "9", "", ""}, "93312345"},
        // No access codes: nothing in front.
        Case{"+49 (89) 765", {"49", "30", "", "", "00EFG", "0FG"}, "089765"},
        Case{"+33 (1) 2345", {"49", "30", "", "", "00EFG", "0FG"}, "003312345"},
        Case{"+49 (30) 12345", {}, "493012345"}));

TEST(filter_dial_chars, KeepsDigitsPlusAndBracketsOnly) {
    EXPECT_EQ(filter_dial_chars("+49 (30) 123-45"), "+49(30)12345");
    EXPECT_EQ(filter_dial_chars("00EFG"), "00");
    EXPECT_EQ(filter_dial_chars(std::string_view("1\0 2/.\t#*x", 10)), "12");
}

TEST(TelKeys, CutTheirPartsAt19Characters) {
    const std::string base = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\";
    EXPECT_EQ(location_key("1"), base + "Locations\\Location1");
    EXPECT_EQ(location_key("12345678901234567890"),
              base + "Locations\\Location1234567890123456789");
    EXPECT_EQ(rules_key("49"), base + "Country List\\49");
    EXPECT_EQ(rules_key("12345678901234567890"), base + "Country List\\1234567890123456789");
}

}  // namespace
}  // namespace oxa::telephony
