#include "server/net/leading_number.h"

#include <gtest/gtest.h>

namespace korrin {
namespace {

TEST(LeadingNumber, ReadsTheNumberATextBeginsWith) {
    struct Case {
        const char* text;
        std::optional<double> want;
    } cases[] = {
        {"3001", 3001},
        {" 4000 ", 4000},
        {"12abc", 12},
        {"1.5", 1.5},
        {"5.", 5},
        {"abc", std::nullopt},
        {"", std::nullopt},
        {" ", std::nullopt},
        {".", std::nullopt},
        {"1e3", 1},
        {"00042", 42},
        // A sign, a tab or a leading "." begins no number.
        {".25", std::nullopt},
        {"-7", std::nullopt},
        {"+8", std::nullopt},
        {"\t4000", std::nullopt},
        {" +4000", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(leadingNumber(c.text), c.want) << c.text;
}

TEST(LeadingNumber, RoundsHalvesToTheEvenNeighbour) {
    struct Case {
        double in, want;
    } cases[] = {{0.5, 0},    {1.5, 2},   {2.5, 2},       {3.5, 4},      {2.4999, 2},
                 {2.5001, 3}, {-1.5, -2}, {3001.5, 3002}, {3000.5, 3000}};
    for (const Case& c : cases) EXPECT_EQ(roundHalfEven(c.in), c.want) << c.in;
}

TEST(SendInterval, ClampsToFiftyThroughOneThousand) {
    struct Case {
        const char* text;
        int want;
    } cases[] = {{"500", 500},   {"20", 50},     {"5000", 1000}, {"50", 50},  {"1000", 1000},
                 {"49.5", 50},   {"abc", 500},   {"", 500},      {"-3", 50},  {"99999999999", 1000},
                 {"250.5", 250}, {"251.5", 252}, {"120ms", 120}, {"+80", 80}, {"\t90", 90}};
    for (const Case& c : cases) EXPECT_EQ(sendIntervalFromText(c.text), c.want) << c.text;
}

TEST(ListenPorts, TakeTheLeadingNumberAndTheOneAfterIt) {
    struct Case {
        const char* text;
        std::optional<int32_t> in, out;
    } cases[] = {
        {"3001", 3001, 3002},
        {" 4000 ", 4000, 4001},
        {"4000.5", 4000, 4002},  // 4000.5 -> 4000, 4001.5 -> 4002
        {"abc", std::nullopt, 1},
        {"0", std::nullopt, 1},
        {"65535", 65535, std::nullopt},
        {"65536", std::nullopt, std::nullopt},
        {"-1", std::nullopt, 1},
        {"+4000", std::nullopt, 1},
        {"1", 1, 2},
    };
    for (const Case& c : cases) {
        ListenPorts p = listenPortsFromText(c.text);
        EXPECT_EQ(p.input, c.in) << c.text;
        EXPECT_EQ(p.output, c.out) << c.text;
    }
}

}  // namespace
}  // namespace korrin
