#include "oxasoft/codecs/feature_code.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FeatureCode, Table) {
    struct Row {
        std::string code;
        std::string dial;
    };
    const Row rows[] = {
        {"\x12\x3F", "123"},
        {"\x1B\x2C", "1*2#"},
        {"\x05\x06", "506"},  // the first byte needs one digit only
        {"\x05\x6F", "56"},
        {"\x0B\x12", "*12"},
        {"\x1F", "1"},  // one byte is first and last: 1F1F
        {"\x12", "1212"},
        {"\x12\x34\x56", "1256"},  // middle bytes are ignored
        {std::string("\xF0\x00", 2), ""},
        {"", ""},
        {std::string("\x00\x12", 2), "012"},
        {std::string("\x12\x00", 2), "1200"},
        {"\xAD\xEC", "ADE#"},
        {"\xFF\x12", ""},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(oxa::codecs::feature_code_text(r.code), r.dial);
    }
}

}  // namespace
