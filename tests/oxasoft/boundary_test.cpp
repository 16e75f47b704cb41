// Conventions every export shares, seen from a caller: null handles, NUL bytes, ownership.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/oxasoft/export_call.h"

namespace {

using oxatest::byte_string;
using oxatest::call;
using oxatest::call_string;

TEST(Boundary, NullByteStringIsEmptyAndEmptyResultIsNull) {
    // take_result fails the test for a zero-length allocation.
    for (const char* name : {"CLEAR_FF", "GET_NIBBLED_NUMBER", "CHANGE_LMCODE"}) {
        EXPECT_EQ(call_string(name, nullptr), "") << name;
        EXPECT_EQ(call_string(name, byte_string("")), "") << name;
    }
}

TEST(Boundary, ByteStringsAreReadOverTheirFullLength) {
    EXPECT_EQ(call_string("CLEAR_FF", byte_string(std::string("a\0b\0\xFF"
                                                              "c",
                                                              6))),
              std::string("a\0b\0", 4));
    EXPECT_EQ(call_string("GET_NIBBLED_NUMBER", byte_string(std::string("\x00\x12\x00", 3))),
              "001200");
    EXPECT_EQ(call_string("CHANGE_LMCODE", byte_string(std::string("\x00\x12", 2))), "012");
    EXPECT_EQ(call_string("CHANGE_LMCODE_NOW", "\0\x12"), "");  // a text pointer ends at its NUL
}

TEST(Boundary, ManyCallsFreeWhatTheyAreGiven) {
    // Byte strings passed in are freed by the export; a double free or a leak of this size
    // would show as a crash or as failing allocations.
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(call_string("CLEAR_FF", byte_string(std::string(1000, 'x'))).size(), 1000u);
    }
}

TEST(Boundary, NullReferencesReadAsZeroAndAreNotWritten) {
    EXPECT_EQ(call_string("GET_BIN_STRING", nullptr), "00000000");
    EXPECT_EQ(call("GET_PORTNUMBER", nullptr, nullptr), 0u);
    short high = 7;
    call("MAKE_WEG_ID", nullptr, &high, nullptr);
    EXPECT_EQ(high, 0);
}

#ifdef _WIN64
// Pointers are 64 bits wide: arguments that live above 4 GiB must reach the export whole, as
// a pointer kept in 32 bits anywhere on the way would cut them.
TEST(Boundary, ArgumentsAbove4GiBArriveWhole) {
    char* high = static_cast<char*>(
        VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN, PAGE_READWRITE));
    ASSERT_NE(high, nullptr);
    ASSERT_GT(reinterpret_cast<std::uintptr_t>(high), std::uintptr_t{0xFFFFFFFF});
    char* text = std::strcpy(high, "a;b;c");
    char* delimiter = std::strcpy(high + 16, ";");
    char* hex = std::strcpy(high + 32, "&h1f");
    auto* shorts = reinterpret_cast<short*>(high + 64);  // n, then value, high, low
    shorts[0] = -1;
    shorts[1] = 4660;
    auto* root = reinterpret_cast<long*>(high + 128);
    *root = static_cast<long>(reinterpret_cast<LONG_PTR>(HKEY_CURRENT_USER));
    char* missing_key = std::strcpy(high + 256, "Software\\Oxa Software\\no-such-key");

    EXPECT_EQ(call_string("GET_PIECE_EXT", text, delimiter, &shorts[0]), "c");
    EXPECT_EQ(static_cast<std::int32_t>(call("CONV_HEXTONUMBER", hex)), 31);
    EXPECT_STREQ(hex, "1F");
    call("MAKE_WEG_ID", &shorts[1], &shorts[2], &shorts[3]);
    EXPECT_EQ(shorts[2], 18);
    EXPECT_EQ(shorts[3], 52);
    EXPECT_EQ(call_string("REPLACE_ASCII", text, delimiter, hex), "a1Fb1Fc");
    EXPECT_EQ(call("DEL_REG_VALUE", root, missing_key, text),
              static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
    VirtualFree(high, 0, MEM_RELEASE);
}
#endif

TEST(Boundary, TrivialExports) {
    EXPECT_EQ(static_cast<std::int32_t>(call("MYFUNCTION1", 41)), 42);
    EXPECT_EQ(static_cast<std::int32_t>(call("MYFUNCTION1", 2147483647)), INT32_MIN);
    EXPECT_EQ(static_cast<std::int32_t>(call("MYFUNCTION1", -1)), 0);
    call("MYSUB1", 5);
}

}  // namespace
