#include "server/console/language.h"

#include <gtest/gtest.h>

#include "server/win32/registry_list.h"

namespace korrin {
namespace {

TEST(LanguageSection, MapsWindowsCodesToTheThreeSections) {
    struct Case {
        const char* code;
        const char* section;
    } cases[] = {
        {"DEU", "DEU"}, {"DEC", "DEU"},  {"DEL", "DEU"}, {"DEA", "DEU"},  {"DES", "DEU"},
        {"deu", "DEU"}, {"NLD", "NLD"},  {"NLB", "NLD"}, {"nlb", "NLD"},  {"ENU", "ENG"},
        {"ENG", "ENG"}, {"FRA", "ENG"},  {"", "ENG"},    {"DEU ", "ENG"}, {" DEU", "ENG"},
        {"DE", "ENG"},  {"DEUX", "ENG"}, {"261", "ENG"},
    };
    for (const Case& c : cases) EXPECT_EQ(languageSection(c.code), c.section) << c.code;
}

// The code as the registry holds it: text with or without its ending NULs; a value of another
// type or one that cannot be read is no code.
TEST(LanguageSection, OfTheRegistryValue) {
    using namespace std::string_literals;
    struct Case {
        long readError;
        uint32_t type;
        std::string data, section;
    } cases[] = {
        {0, 1, "DEU\0"s, "DEU"},        {0, 1, "DEU"s, "DEU"}, {0, 1, "nlb\0\0"s, "NLD"},
        {0, 1, "DE\0U\0"s, "ENG"},      {0, 1, ""s, "ENG"},    {0, 2, "DEU\0"s, "ENG"},
        {0, 4, "\x05\x01\0\0"s, "ENG"}, {0, 3, "DEU"s, "ENG"}, {5, 1, "DEU\0"s, "ENG"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(languageSection(textFromRegistry(c.readError, c.type, c.data)), c.section)
            << c.type << " " << c.data;
}

TEST(LangText, OneCharacterReadsAsEmpty) {
    EXPECT_EQ(langTextFromProfile("", 0), "");
    EXPECT_EQ(langTextFromProfile("?", 1), "");
    EXPECT_EQ(langTextFromProfile("Datei", 5), "Datei");
    EXPECT_EQ(langTextFromProfile("ab", 2), "ab");
}

}  // namespace
}  // namespace korrin
