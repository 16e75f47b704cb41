#include "oxasoft/codecs/digits.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using oxa::codecs::bin_string;
using oxa::codecs::clear_ff;
using oxa::codecs::nibbled_number;
using oxa::codecs::port_number;
using oxa::codecs::split_word;

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

TEST(NibbledNumber, Table) {
    struct Row {
        std::string in;
        std::string out;
    };
    const Row rows[] = {
        {bytes({0x49, 0x89, 0x12, 0x3F}), "4989123"},
        {bytes({0x12, 0xFF, 0x34}), "12"},
        {bytes({0x0A, 0xBC}), "0ABC"},
        {bytes({0x1F, 0x2F}), "1F2"},  // only the last filler goes
        {bytes({0xFF}), ""},
        {"", ""},
        {bytes({0x00, 0x12}), "0012"},  // NUL bytes are digits too
        {bytes({0xF0}), "F0"},
        {bytes({0x0F}), "0"},
    };
    for (const Row& r : rows) EXPECT_EQ(nibbled_number(r.in), r.out);
}

TEST(NibbledNumber, ReadsAtMostTwentyOneBytes) {
    struct Row {
        std::size_t count;
        std::size_t digits;
    };
    for (Row r : {Row{20, 40}, Row{21, 42}, Row{22, 42}, Row{25, 42}}) {
        EXPECT_EQ(nibbled_number(std::string(r.count, '\x11')), std::string(r.digits, '1'))
            << r.count << " bytes";
    }
    // The filler is dropped after the cut, so a 22nd byte never shows.
    EXPECT_EQ(nibbled_number(std::string(20, '\x11') + "\x1F\x22"), std::string(41, '1'));
}

TEST(ClearFf, Table) {
    struct Row {
        std::string in;
        std::string out;
    };
    const Row rows[] = {
        {"abc\xFF"
         "def",
         "abc"},
        {"\xFF"
         "abc",
         ""},
        {"abc", "abc"},
        {"", ""},
        {std::string("a\0b\xFF", 4), std::string("a\0b", 3)},
    };
    for (const Row& r : rows) EXPECT_EQ(clear_ff(r.in), r.out);
}

TEST(BinString, ShowsLowEightBits) {
    struct Row {
        int v;
        const char* out;
    };
    for (Row r :
         {Row{5, "00000101"}, Row{-1, "11111111"}, Row{256, "00000000"}, Row{511, "11111111"},
          Row{0, "00000000"}, Row{128, "10000000"}, Row{-32768, "00000000"}}) {
        EXPECT_EQ(bin_string(r.v), r.out) << r.v;
    }
}

TEST(SplitWord, HighAndLowByte) {
    struct Row {
        int v;
        int high;
        int low;
    };
    for (Row r : {Row{4660, 18, 52}, Row{-1, 255, 255}, Row{0, 0, 0}, Row{255, 0, 255},
                  Row{256, 1, 0}, Row{-32768, 128, 0}}) {
        const auto s = split_word(r.v);
        EXPECT_EQ(s.high, r.high) << r.v;
        EXPECT_EQ(s.low, r.low) << r.v;
    }
}

TEST(PortNumber, NoMasking) {
    EXPECT_EQ(port_number(12, 34), 3106);
    EXPECT_EQ(port_number(1, -1), 255);
    EXPECT_EQ(port_number(-1, 0), -256);
    EXPECT_EQ(port_number(32767, 32767), 32767 * 256 + 32767);
}

}  // namespace
