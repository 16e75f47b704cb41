#include "server/win32/registry_list.h"

#include <gtest/gtest.h>

#include "server/net/leading_number.h"

namespace korrin {
namespace {

TEST(RegistryList, EachTypeReadsAsTextOrAsNoList) {
    using namespace std::string_literals;
    struct Case {
        uint32_t type;
        std::string data, text, error;
    } cases[] = {
        {1, "127.0.0.1\0"s, "127.0.0.1", ""},
        {1, ""s, "", ""},
        {2, "10.0.0.0/8, ::1\0"s, "10.0.0.0/8, ::1", ""},  // REG_EXPAND_SZ
        {7, "127.0.0.1\0::1, 10.0.0.0/8\0\0"s, "127.0.0.1, ::1, 10.0.0.0/8", ""},
        // Empty strings are skipped, first or in the middle (.reg hex(7) imports, scripts).
        {7, "127.0.0.1\0\0::1\0\0"s, "127.0.0.1, ::1", ""},
        {7,
         "\0"
         "10.0.0.0/8\0\0"s,
         "10.0.0.0/8", ""},
        {7, ""s, "", ""},
        // Bytes but no entry: never everyone.
        {7, "\0"s, "", "a REG_MULTI_SZ value without an entry is no list"},
        {7, "\0\0\0"s, "", "a REG_MULTI_SZ value without an entry is no list"},
        {7, "no terminator"s, "no terminator", ""},
        {4, "\1\0\0\0"s, "", "a REG_DWORD value is no list"},
        {3, "127.0.0.1"s, "", "a REG_BINARY value is no list"},
        {0, ""s, "", "a REG_NONE value is no list"},
        {42, "x"s, "", "a type 42 value is no list"},
    };
    for (const Case& c : cases) {
        const ListText v = listTextFromRegistry(c.type, c.data);
        EXPECT_EQ(v.text, c.text) << c.type << " " << c.data;
        EXPECT_EQ(v.error, c.error) << c.type << " " << c.data;
    }
}

TEST(RegistryList, ATextSettingOfAnotherTypeIsNeverAPortNumber) {
    using namespace std::string_literals;
    struct Case {
        long readError;
        uint32_t type;
        std::string data, text;
    } cases[] = {
        {0, 1, "4000\0"s, "4000"},
        {0, 4, "\xa0\x0f\0\0"s, "(a REG_DWORD value, not REG_SZ)"},
        {0, 2, "4000\0"s, "(a REG_EXPAND_SZ value, not REG_SZ)"},
        {0, 7, "4000\0\0"s, "(a REG_MULTI_SZ value, not REG_SZ)"},
        {5, 1, ""s, "(cannot be read: error 5)"},
    };
    for (const Case& c : cases) {
        const std::string text = textFromRegistry(c.readError, c.type, c.data);
        EXPECT_EQ(text, c.text);
        if (c.type != 1 || c.readError != 0) {
            EXPECT_FALSE(listenPortsFromText(text).input) << text;  // its port stays closed
        }
    }
}

}  // namespace
}  // namespace korrin
