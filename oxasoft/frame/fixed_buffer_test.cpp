#include "oxasoft/frame/fixed_buffer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FixedBuffer, KeepsSizeMinusOneBytes) {
    struct Row {
        std::string in;
        std::string kept;
    };
    const Row rows[] = {{"", ""},
                        {"abc", "abc"},
                        {"abcdefg", "abcdefg"},
                        {"abcdefgh", "abcdefg"},
                        {"abcdefghijk", "abcdefg"}};
    for (const Row& r : rows) {
        oxa::FixedBuffer<8> b(r.in);
        EXPECT_EQ(b.text(), r.kept) << r.in;
        EXPECT_EQ(b.data()[7], '\0') << r.in;
    }
}

TEST(FixedBuffer, TextEndsAtFirstNul) {
    oxa::FixedBuffer<8> b(std::string("ab\0cd", 5));
    EXPECT_EQ(b.text(), "ab");
}

TEST(FixedBuffer, ReassignClearsTheOldTail) {
    oxa::FixedBuffer<8> b("abcdef");
    b.assign("xy");
    EXPECT_EQ(std::string(b.data(), 8), std::string("xy\0\0\0\0\0\0", 8));
}

TEST(FixedBuffer, FillLeavesTerminator) {
    oxa::FixedBuffer<5> b;
    b.fill(' ');
    EXPECT_EQ(b.text(), "    ");
}

}  // namespace
