#include "server/net/ip_address.h"

#include <gtest/gtest.h>

namespace korrin {
namespace {

// Each row: an entry as typed, what it parses to (its text and prefix length, or "bad"), and
// peers it must and must not let in.
TEST(IpPrefix, ParsesAndMatchesWhatOperatorsType) {
    struct Case {
        const char* entry;
        const char* parsed;  // "<address>/<bits>", or "bad"
        std::vector<const char*> in, out;
    } cases[] = {
        {"192.168.4.7", "192.168.4.7/32", {"192.168.4.7", "::ffff:192.168.4.7"}, {"192.168.4.8"}},
        {"10.1.0.0/16", "10.1.0.0/16", {"10.1.255.255"}, {"10.2.0.0", "::a01:0"}},
        {"10.1.2.3/16", "10.1.2.3/16", {"10.1.9.9"}, {"10.0.9.9"}},  // host bits ignored
        {"0.0.0.0/0", "0.0.0.0/0", {"1.2.3.4"}, {"::1"}},
        {"127.0.0.1/32", "127.0.0.1/32", {"127.0.0.1"}, {"127.0.0.2"}},
        {"10.0.0.0/9", "10.0.0.0/9", {"10.127.0.1"}, {"10.128.0.1"}},
        {"::1", "::1/128", {"::1", "0:0:0:0:0:0:0:1"}, {"::2", "127.0.0.1"}},
        {"fd00::/8", "fd00::/8", {"fdff:1::9"}, {"fe00::1"}},
        {"::/0", "::/0", {"2001:db8::5"}, {"10.0.0.1"}},
        {"2001:DB8::1:0:0:1/128", "2001:db8::1:0:0:1/128", {"2001:db8:0:0:1::1"}, {"2001:db8::1"}},
        {"::ffff:10.0.0.0/104", "10.0.0.0/8", {"10.9.9.9"}, {"11.0.0.0"}},
        {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304/128", {}, {}},
        {"127.0.0.300", "bad", {}, {}},
        {"10.0.0.0/33", "bad", {}, {}},
        {"::1/129", "bad", {}, {}},
        {"host.example", "bad", {}, {}},
        {"01.2.3.4", "bad", {}, {}},
        {"1.2.3", "bad", {}, {}},
        {"1.2.3.4/", "bad", {}, {}},
        {"1.2.3.4/-1", "bad", {}, {}},
        {":::1", "bad", {}, {}},
        {"1::2::3", "bad", {}, {}},
        {"1:2:3:4:5:6:7:8:9", "bad", {}, {}},
        {"1:2:3:4:5:6:7", "bad", {}, {}},
        {"fe80::1%3", "bad", {}, {}},
        {"[::1]", "bad", {}, {}},
    };
    for (const Case& c : cases) {
        std::optional<IpPrefix> p = parseIpPrefix(c.entry);
        const std::string got =
            p ? p->address.text() + "/" + std::to_string(p->bits) : std::string("bad");
        EXPECT_EQ(got, c.parsed) << c.entry;
        for (const char* peer : c.in) EXPECT_TRUE(p->contains(*parseIpAddress(peer))) << peer;
        for (const char* peer : c.out) EXPECT_FALSE(p->contains(*parseIpAddress(peer))) << peer;
    }
}

TEST(IpPrefix, ListsIgnoreBlanksAndEmptyEntriesButNeverReadAsEveryone) {
    struct Case {
        const char* text;
        size_t entries;
        const char* bad;  // nullptr: the list is valid
    } cases[] = {
        {"", 0, nullptr},
        {"   ", 0, nullptr},
        {" 10.0.0.1 , ::1 ", 2, nullptr},
        {"10.0.0.1,,::1,", 2, nullptr},
        {",", 0, ","},
        {"10.0.0.1, host.example, ::1", 1, "host.example"},
        {"10.0.0.0 /8", 0, "10.0.0.0 /8"},
    };
    for (const Case& c : cases) {
        ParsedList<IpPrefix> l = parsePrefixList(c.text);
        EXPECT_EQ(l.entries.size(), c.entries) << c.text;
        EXPECT_EQ(l.badEntry.value_or("<none>"), c.bad ? c.bad : "<none>") << c.text;
    }
    EXPECT_EQ(parseAddressList("127.0.0.1, ::1").entries.size(), 2u);
    EXPECT_EQ(parseAddressList("10.0.0.0/8").badEntry.value_or(""), "10.0.0.0/8");
    EXPECT_TRUE(AllowList().allows(*parseIpAddress("::1")));
    EXPECT_FALSE(AllowList(parsePrefixList("127.0.0.2").entries).allows(ipv4(127, 0, 0, 1)));
}

}  // namespace
}  // namespace korrin
