#include "server/console/language.h"

#include <gtest/gtest.h>

namespace korrin {
namespace {

TEST(LanguageSection, MapsWindowsCodesToTheThreeSections) {
    struct Case {
        const char* code;
        const char* section;
    } cases[] = {
        {"DEU", "DEU"}, {"DEC", "DEU"}, {"DEL", "DEU"}, {"DEA", "DEU"}, {"DES", "DEU"},
        {"deu", "DEU"}, {"NLD", "NLD"}, {"NLB", "NLD"}, {"nlb", "NLD"}, {"ENU", "ENG"},
        {"ENG", "ENG"}, {"FRA", "ENG"}, {"", "ENG"},    {"DEU ", "ENG"}, {" DEU", "ENG"},
        {"DE", "ENG"},  {"DEUX", "ENG"}, {"261", "ENG"},
    };
    for (const Case& c : cases) EXPECT_EQ(languageSection(c.code), c.section) << c.code;
}

TEST(RegistryText, CutsToTheReportedLengthAndDropsOneTrailingZero) {
    using std::string;
    struct Case {
        uint32_t type;
        string data;
        uint32_t reported;
        std::optional<string> want;
    } cases[] = {
        {1, string("DEU\0", 4), 4, "DEU"},               // stored with its zero byte
        {1, string("DEU", 3), 3, "DEU"},                 // stored without it
        {1, string("DE\0\0", 4), 4, string("DE\0", 3)},  // only one zero byte goes
        {4, string("\x05\x01\0\0", 4), 4, "261"},
        {4, string("\xff\xff\xff\xff", 4), 4, "-1"},
        {4, string("\x05\x07\x07\x07", 4), 1, "5"},  // a short value: bytes past it do not count
        {3, string("\x01\x02", 2), 2, "caller"},         // other types keep the caller's text
        {1, string(), 0, std::nullopt},                  // no data bytes: no result
    };
    for (const Case& c : cases)
        EXPECT_EQ(registryText(c.type, c.data, c.reported, "caller"), c.want) << c.data;
}

TEST(LangText, OneCharacterReadsAsEmpty) {
    EXPECT_EQ(langTextFromProfile("", 0), "");
    EXPECT_EQ(langTextFromProfile("?", 1), "");
    EXPECT_EQ(langTextFromProfile("Datei", 5), "Datei");
    EXPECT_EQ(langTextFromProfile("ab", 2), "ab");
}

}  // namespace
}  // namespace korrin
