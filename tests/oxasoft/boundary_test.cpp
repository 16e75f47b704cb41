// Conventions every export shares, seen from a caller: null handles, NUL bytes, ownership.
#include <gtest/gtest.h>

#include "export_call.h"

namespace {

using oxatest::byte_string;
using oxatest::call;
using oxatest::call_string;

TEST(Boundary, NullByteStringIsEmptyAndEmptyResultIsNull) {
    // take_result fails the test for a zero-length allocation.
    for (const char* name : {"CLEAR_FF", "GET_NIBBLED_NUMBER", "CHANGE_LMCODE"}) {
        EXPECT_EQ(call(name, nullptr), 0u) << name;
        EXPECT_EQ(call(name, byte_string("")), 0u) << name;
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
    EXPECT_EQ(call("CHANGE_LMCODE_NOW", "\0\x12"), 0u);  // a text pointer ends at its NUL
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

TEST(Boundary, TrivialExports) {
    EXPECT_EQ(static_cast<std::int32_t>(call("MYFUNCTION1", 41)), 42);
    EXPECT_EQ(static_cast<std::int32_t>(call("MYFUNCTION1", 2147483647)), INT32_MIN);
    EXPECT_EQ(static_cast<std::int32_t>(call("MYFUNCTION1", -1)), 0);
    call("MYSUB1", 5);
}

}  // namespace
