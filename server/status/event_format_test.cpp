#include "server/status/event_format.h"

#include <gtest/gtest.h>

namespace korrin::events {
namespace {

TEST(EventFormat, EachLineIsOneEventThatNothingInItCutsOrHides) {
    using namespace std::string_literals;
    const struct {
        std::string line, data;  // data: what follows "id: 7\n"
    } cases[] = {
        {"hello", "data: hello\n\n"},
        {"", "data: \n\n"},
        {"w\xC3\xB6rld \xE2\x82\xAC", "data: w\xC3\xB6rld \xE2\x82\xAC\n\n"},  // UTF-8 as it is
        {"caf\xE9", "data: caf\xC3\xA9\n\n"},                                  // Latin-1
        {"\xC0\xAF", "data: \xC3\x80\xC2\xAF\n\n"},                            // overlong: no UTF-8
        {"\xED\xA0\x80", "data: \xC3\xAD\xC2\xA0\xC2\x80\n\n"},  // a surrogate: no UTF-8
        {"\xF0\x9F\x98", "data: \xC3\xB0\xC2\x9F\xC2\x98\n\n"},  // cut short: no UTF-8
        {"end\r", "data: end\n\n"},
        {"a\rb\r", "data: a\ndata: b\n\n"},
        {"a\r\rb", "data: a\ndata: \ndata: b\n\n"},
        {"nul\0x"s, "data: nul\xEF\xBF\xBDx\n\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(eventText(7, c.line), "id: 7\n" + c.data) << c.line;
    EXPECT_EQ(eventText(18446744073709551615u, "x"), "id: 18446744073709551615\ndata: x\n\n");
    EXPECT_EQ(lostText(12), "event: lost\ndata: 12\n\n");
    EXPECT_EQ(lostText(std::nullopt), "event: lost\ndata: unknown\n\n");
    EXPECT_EQ(std::string(kKeepalive), ": keepalive\n\n");
}

TEST(EventFormat, AStreamBeginsWhereTheFieldOrTheUrlSays) {
    const struct {
        std::string query, field;
        std::optional<uint64_t> after, replay;
        bool bad;
    } cases[] = {
        {"", "", {}, {}, false},
        {"", "42", 42, {}, false},
        {"last=5", "", 5, {}, false},
        {"last=5", "9", 9, {}, false},     // a reconnect: the field is newer than the URL
        {"replay=10", "9", 9, {}, false},  // and the replay was the first connect's
        {"replay=10", "", {}, 10, false},
        {"x=1&replay=3&y", "", {}, 3, false},
        {"", "18446744073709551615", 18446744073709551615u, {}, false},
        {"", "18446744073709551616", {}, {}, true},  // past 64 bits
        {"", std::string(10000, '9'), {}, {}, true},
        {"", "-1", {}, {}, true},
        {"", " 7", {}, {}, true},
        {"last=", "", {}, {}, true},
        {"replay=1e3", "", {}, {}, true},
    };
    for (const auto& c : cases) {
        const StreamStart s = parseStreamStart(c.query, c.field);
        EXPECT_EQ(s.after, c.after) << c.query << " / " << c.field.substr(0, 30);
        EXPECT_EQ(s.replay, c.replay) << c.query << " / " << c.field.substr(0, 30);
        EXPECT_EQ(s.badId, c.bad) << c.query << " / " << c.field.substr(0, 30);
    }
}

}  // namespace
}  // namespace korrin::events
