#include "server/net/line_framer.h"

#include <gtest/gtest.h>

#include <vector>

namespace korrin {
namespace {

struct Collect : LineFramer::Sink {
    std::vector<std::string> lines;
    int overlongs = 0;
    void line(std::string_view t) override { lines.emplace_back(t); }
    void overlong() override { ++overlongs; }
};

TEST(LineFramer, CutsAtEachLfAndKeepsEveryOtherByte) {
    struct Case {
        std::string input;
        std::vector<std::string> lines;
        std::string rest;
    } cases[] = {
        {"abc\n", {"abc"}, ""},
        {"abc\r\n", {"abc\r"}, ""},
        {"\n", {""}, ""},
        {"a\nb\n", {"a", "b"}, ""},
        {"a\nbc", {"a"}, "bc"},
        {std::string("x\0y\n", 4), {std::string("x\0y", 3)}, ""},
        {"\xff\x80\n\n", {"\xff\x80", ""}, ""},
    };
    for (const Case& c : cases) {
        LineFramer f;
        Collect sink;
        f.feed(c.input, sink);
        EXPECT_EQ(sink.lines, c.lines);
        EXPECT_EQ(f.takeRest(), c.rest);
        EXPECT_EQ(sink.overlongs, 0);
    }
}

TEST(LineFramer, GivesTheSameLinesWhereverTheReadsSplitTheStream) {
    const std::string stream = "first\r\nsecond\n\nthird line\nfour";
    const std::vector<std::string> want = {"first\r", "second", "", "third line"};
    for (size_t a = 0; a <= stream.size(); ++a) {
        for (size_t b = a; b <= stream.size(); ++b) {
            LineFramer f;
            Collect sink;
            f.feed(stream.substr(0, a), sink);
            f.feed(stream.substr(a, b - a), sink);
            f.feed(stream.substr(b), sink);
            ASSERT_EQ(sink.lines, want) << a << "," << b;
            ASSERT_EQ(f.takeRest(), "four");
        }
    }
}

TEST(LineFramer, MultiByteDelimiterSplitAcrossReads) {
    LineFramer f;
    f.setDelimiter("--");
    Collect sink;
    for (char c : std::string("a--b-c--")) f.feed(std::string_view(&c, 1), sink);
    EXPECT_EQ(sink.lines, (std::vector<std::string>{"a", "b-c"}));
}

// Delimiters whose start repeats inside them, met across a read's edge, cut where a search of the
// whole stream cuts.
TEST(LineFramer, MultiByteDelimitersCutAsTheWholeStreamWhereverTheReadsSplit) {
    const struct Case {
        std::string delimiter, stream;
    } cases[] = {
        {"\r\n", "a\r\r\nb\r\n\r\nc\rd\r\n"},
        {"aab", "xaaab-aab-aaaabaab-aa"},
        {"--", "a---b----c-"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> want;
        size_t start = 0;
        for (size_t pos; (pos = c.stream.find(c.delimiter, start)) != std::string::npos;
             start = pos + c.delimiter.size())
            want.push_back(c.stream.substr(start, pos - start));
        for (size_t a = 0; a <= c.stream.size(); ++a) {
            for (size_t b = a; b <= c.stream.size(); ++b) {
                LineFramer f;
                f.setDelimiter(c.delimiter);
                Collect sink;
                f.feed(c.stream.substr(0, a), sink);
                f.feed(c.stream.substr(a, b - a), sink);
                f.feed(c.stream.substr(b), sink);
                ASSERT_EQ(sink.lines, want) << c.delimiter << " " << a << "," << b;
                ASSERT_EQ(f.takeRest(), c.stream.substr(start))
                    << c.delimiter << " " << a << "," << b;
            }
        }
    }
}

TEST(LineFramer, DropsAnOverlongLineWholeAndKeepsTheNextOne) {
    const size_t max = 16;
    struct Case {
        size_t length;
        bool kept;
    } cases[] = {{15, true}, {16, true}, {17, false}, {40, false}};
    for (const Case& c : cases) {
        for (size_t chunk : {size_t(1), size_t(5), size_t(1000)}) {
            LineFramer f(max);
            Collect sink;
            const std::string stream = std::string(c.length, 'x') + "\nnext\n";
            for (size_t i = 0; i < stream.size(); i += chunk) f.feed(stream.substr(i, chunk), sink);
            std::vector<std::string> want;
            if (c.kept) want.push_back(std::string(c.length, 'x'));
            want.push_back("next");
            EXPECT_EQ(sink.lines, want) << c.length << " chunk " << chunk;
            EXPECT_EQ(sink.overlongs, c.kept ? 0 : 1) << c.length << " chunk " << chunk;
        }
    }
}

TEST(LineFramer, OverlongLineWithoutEndLeavesNoRestAndBoundedMemory) {
    LineFramer f(16);
    Collect sink;
    for (int i = 0; i < 1000; ++i) f.feed("0123456789", sink);
    EXPECT_EQ(sink.overlongs, 1);
    EXPECT_EQ(f.takeRest(), "");
    f.feed("after\n", sink);
    EXPECT_EQ(sink.lines, std::vector<std::string>{"after"});
}

}  // namespace
}  // namespace korrin
