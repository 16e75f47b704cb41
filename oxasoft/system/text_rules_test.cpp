// Text rules of REPLACE_ASCII, DEBUG_PRINT and the blank trimming.
#include "oxasoft/system/text_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace oxa::system {
namespace {

TEST(ReplaceAscii, ReplacesSingleCharacterFinds) {
    const struct {
        std::string text, find, replacement, out;
    } cases[] = {
        {"a-b-c", "-", "", "abc"},
        {"a-b-c", "-", "--", "a--b--c"},
        {"a-b-c", "-b", "x", "a-b-c"},
        {"a-b-c", "", "x", "a-b-c"},
        {"", "-", "x", ""},
        {"---", "-", "ab", "ababab"},
        {"a\xe4"
         "b",
         "\xe4", "ae", "aaeb"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(replace_ascii(c.text, c.find, c.replacement), c.out) << c.text << " / " << c.find;
    }
}

TEST(DebugLine, PrefixesTheTrimmedText) {
    EXPECT_EQ(debug_line("  ready "), "OXA: ready");
    EXPECT_EQ(debug_line(""), "OXA: ");
    EXPECT_EQ(debug_line("   "), "OXA: ");
    EXPECT_EQ(debug_line("\tx y\r\n"), "OXA: \tx y\r\n");
}

TEST(TrimBlanks, RemovesOnlyOuterSpaces) {
    EXPECT_EQ(trim_blanks("  a b  "), "a b");
    EXPECT_EQ(trim_blanks(" "), "");
    EXPECT_EQ(trim_blanks("\t1\t"), "\t1\t");
}

}  // namespace
}  // namespace oxa::system
