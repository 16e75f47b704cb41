// The codec and feature-code exports through the DLL: argument kinds, in-place rewrites,
// output references. The algorithms themselves are covered by the native tables.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/oxasoft/export_call.h"

namespace {

using oxatest::byte_string;
using oxatest::call;
using oxatest::call_string;

TEST(CodecExports, StringResults) {
    EXPECT_EQ(call_string("GET_NIBBLED_NUMBER", byte_string("\x49\x89\x12\x3F")), "4989123");
    EXPECT_EQ(call_string("GET_NIBBLED_NUMBER", byte_string(std::string(22, '\x11'))),
              std::string(42, '1'));
    EXPECT_EQ(call_string("GET_NIBBLED_NUMBER", byte_string("\xFF")), "");
    EXPECT_EQ(call_string("CLEAR_FF", byte_string("abc\xFF"
                                                  "def")),
              "abc");
    EXPECT_EQ(call_string("CHANGE_LMCODE", byte_string("\x1B\x2C")), "1*2#");
    EXPECT_EQ(call_string("CHANGE_LMCODE_NOW", "\x12\x34\x56"), "1256");
    EXPECT_EQ(call_string("CHANGE_LMCODE_NOW", nullptr), "");
}

TEST(CodecExports, IntegerReferencesAreSixteenBits) {
    struct Row {
        short v;
        const char* bits;
    };
    for (Row r : {Row{5, "00000101"}, Row{-1, "11111111"}, Row{256, "00000000"}}) {
        // The neighbouring bytes must not be read as part of the value.
        short cells[3] = {0x7F7F, r.v, 0x7F7F};
        EXPECT_EQ(call_string("GET_BIN_STRING", &cells[1]), r.bits) << r.v;
    }
    short high = 1, low = -1;
    EXPECT_EQ(static_cast<std::int32_t>(call("GET_PORTNUMBER", &high, &low)), 255);
}

TEST(CodecExports, OutputsWriteSixteenBitsInTheirOrder) {
    const short v = 4660;
    short weg[4] = {-7, -7, -7, -7};
    call("MAKE_WEG_ID", &v, &weg[1], &weg[2]);
    EXPECT_EQ(weg[0], -7);
    EXPECT_EQ(weg[1], 18);  // high
    EXPECT_EQ(weg[2], 52);  // low
    EXPECT_EQ(weg[3], -7);
    short low_high[2] = {0, 0};
    call("MAKE_LOW_HIGH", &v, &low_high[0], &low_high[1]);
    EXPECT_EQ(low_high[0], 52);
    EXPECT_EQ(low_high[1], 18);
    const short minus_one = -1;
    call("MAKE_LOW_HIGH", &minus_one, &low_high[0], &low_high[1]);
    EXPECT_EQ(low_high[0], 255);
    EXPECT_EQ(low_high[1], 255);
}

TEST(CodecExports, HexToNumberRewritesTheCallersText) {
    struct Row {
        const char* in;
        std::int32_t value;
        const char* after;
    };
    const Row rows[] = {{"1f", 31, "1F"},
                        {"&h1f", 31, "1F"},
                        {"0x1f", 31, "1F"},
                        {"00FF", -1, "00FF"},
                        {"1FH", -1, ""},
                        {"", -1, ""},
                        {"80000000", INT32_MIN, "80000000"},
                        {"\x84x", -1, ""}};
    for (const Row& r : rows) {
        char text[16];
        std::memset(text, '\xCC', sizeof text);
        std::strcpy(text, r.in);
        const std::size_t len = std::strlen(r.in);
        EXPECT_EQ(static_cast<std::int32_t>(call("CONV_HEXTONUMBER", text)), r.value) << r.in;
        EXPECT_STREQ(text, r.after) << r.in;
        // Never written beyond the caller's terminator.
        for (std::size_t i = len + 1; i < sizeof text; ++i) EXPECT_EQ(text[i], '\xCC') << r.in;
    }
    EXPECT_EQ(static_cast<std::int32_t>(call("CONV_HEXTONUMBER", nullptr)), -1);
}

TEST(CodecExports, PieceExt) {
    const short two = 2, last = -1, beyond = 4;
    EXPECT_EQ(call_string("GET_PIECE_EXT", "a;b;c", ";", &two), "b");
    EXPECT_EQ(call_string("GET_PIECE_EXT", "a;b;c", ";", &last), "c");
    EXPECT_EQ(call_string("GET_PIECE_EXT", "a;b;c", ";", &beyond), "");
    EXPECT_EQ(call_string("GET_PIECE_EXT", "a, \"b,c\" ,d", "", &two), "b,c");
    EXPECT_EQ(call_string("GET_PIECE_EXT", nullptr, nullptr, &two), "");
}

}  // namespace
