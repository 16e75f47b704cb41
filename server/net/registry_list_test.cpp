#include "server/net/registry_list.h"

#include <gtest/gtest.h>

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
        {7, "127.0.0.1\0\0ignored\0\0"s, "127.0.0.1", ""},  // an empty string ends it
        {7, "\0"s, "", ""},
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

}  // namespace
}  // namespace korrin
