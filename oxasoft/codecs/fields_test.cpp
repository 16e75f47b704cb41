#include "oxasoft/codecs/fields.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Row {
    const char* text;
    const char* delimiter;
    int n;
    const char* field;
};

TEST(Piece, WithDelimiter) {
    const Row rows[] = {
        {"a;b;c", ";", 1, "a"},     {"a;b;c", ";", 2, "b"},  {"a;b;c", ";", 3, "c"},
        {"a;b;c", ";", -1, "c"},    {"a;b;c", ";", -3, "a"}, {"a;b;c", ";", 0, ""},
        {"a;b;c", ";", 4, ""},      {"a;b;c", ";", -4, ""},  {"a;;b", ";", 2, ""},
        {"a;;b", ";", 3, "b"},      {"a--b", "--", 2, "b"},  {"a---b", "--", 2, "-b"},
        {" a ; b ", ";", 2, " b "}, {"abc", ";", 1, "abc"},  {"abc", ";", 2, ""},
        {"", ";", 1, ""},           {"a;", ";", -1, ""},     {"a;", ";", -2, "a"},
        {"a;b", ";", -32768, ""},   {"a;b", ";", 32767, ""},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(oxa::codecs::piece(r.text, r.delimiter, r.n), r.field)
            << r.text << " / " << r.delimiter << " / " << r.n;
    }
}

TEST(Piece, CommaSeparatedWithQuotes) {
    const Row rows[] = {
        {"  x  ,y", "", 1, "x"},
        {"  x  ,y", "", 2, "y"},
        {"a, \"b,c\" ,d", "", 1, "a"},
        {"a, \"b,c\" ,d", "", 2, "b,c"},
        {"a, \"b,c\" ,d", "", 3, "d"},
        {"a, \"b,c\" ,d", "", -1, "d"},
        {"a, \"b,c\" ,d", "", -2, "b,c"},
        {"a, \"b,c\" ,d", "", 4, ""},
        {"\"b\"junk,c", "", 1, "b"},  // text after the closing quote is ignored
        {"\"b\"junk,c", "", 2, "c"},
        {"a,\"b,c", "", 2, "b,c"},  // no closing quote: to the end of the text
        {"a,\"b,c", "", 3, ""},
        {"a,,b", "", 2, ""},
        {"a,", "", -1, ""},
        {"", "", 1, ""},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(oxa::codecs::piece(r.text, r.delimiter, r.n), r.field) << r.text << " / " << r.n;
    }
}

}  // namespace
