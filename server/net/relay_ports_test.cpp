#include "server/net/relay_ports.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

#include "server/net/testing/relay_fixture.h"

namespace korrin {
namespace {

TEST_F(RelayFixture, LoadReadsSettingsAndOpensBothPorts) {
    struct Case {
        std::map<std::string, std::string> values;
        int interval;
        int32_t inPort, outPort;
        std::string panel2;
    } cases[] = {
        {{}, 500, 3001, 3002, "3001"},
        {{{"Timer", "20"}, {"Port", " 4000 "}}, 50, 4000, 4001, " 4000 "},
        {{{"Timer", "5000"}}, 1000, 3001, 3002, "3001"},
        {{{"Timer", "fast"}}, 500, 3001, 3002, "3001"},
    };
    for (const Case& c : cases) {
        FakeListener i, o;
        FakeSettings s;
        s.values = c.values;
        FakeTimer t;
        FakeView v;
        Relay r(i, o, s, t, log, v, clock);
        r.load(nullptr);
        EXPECT_EQ(r.SendInterval(), c.interval);
        EXPECT_EQ(t.interval, c.interval);
        EXPECT_EQ(i.port, c.inPort);
        EXPECT_EQ(o.port, c.outPort);
        EXPECT_TRUE(i.listening && o.listening);
        EXPECT_EQ(r.statusAddress(), "10.0.0.5");
        EXPECT_EQ(r.statusPort(), c.panel2);
        EXPECT_TRUE(v.boxes.empty());
    }
}

TEST_F(RelayFixture, PortFailuresShowTheMessageOnceAndKeepTheStatusBar) {
    struct Case {
        std::string port;
        std::set<int32_t> inBusy, outBusy;
        bool inListens, outPortSet;
    } cases[] = {
        {"3001", {}, {3002}, true, true},    // output port taken: input still listens
        {"3001", {3001}, {}, false, false},  // input port taken: output untouched
        {"abc", {}, {}, false, false},       // no number: never a random port
        {"65535", {}, {}, false, false},     // the output port would be 65536: neither opens
    };
    for (const Case& c : cases) {
        FakeListener i, o;
        i.busyPorts = c.inBusy;
        o.busyPorts = c.outBusy;
        FakeSettings s;
        s.values["Port"] = c.port;
        FakeTimer t;
        FakeView v;
        Relay r(i, o, s, t, log, v, clock);
        r.load(nullptr);
        EXPECT_EQ(v.boxes, std::vector<std::string>{"Error setting Portaddress"}) << c.port;
        EXPECT_EQ(i.listening, c.inListens) << c.port;
        EXPECT_FALSE(o.listening) << c.port;
        EXPECT_EQ(o.port != 0, c.outPortSet) << c.port;
        EXPECT_EQ(r.statusPort(), "") << c.port;
    }
}

TEST_F(RelayFixture, ExposureSettingsChooseWhereToListenAndWhoMayConnect) {
    struct Case {
        std::map<std::string, std::string> values;
        bool inListens, outListens, box;
        std::string status, log;
    } cases[] = {
        {{}, true, true, false, "10.0.0.5", ""},
        {{{"Bind", " 127.0.0.1 , ::1"}}, true, true, false, "127.0.0.1", ""},
        {{{"Bind", "127.0.0.1, localhost"}},
         false,
         false,
         true,
         "10.0.0.5",  // kept from before
         "Error: 10022 - Bind: \"localhost\" is not an address or a prefix; the port stays "
         "closed\r\n"},
        {{{"AllowSenders", "10.0.0.0/33"}},
         false,
         true,
         true,
         "10.0.0.5",  // output rules unchanged
         "Error: 10022 - AllowSenders: \"10.0.0.0/33\" is not an address or a prefix; the port "
         "stays closed\r\n"},
        {{{"AllowReceivers", ","}},
         true,
         false,
         true,
         "10.0.0.5",
         "Error: 10022 - AllowReceivers: \",\" is not an address or a prefix; the port stays "
         "closed\r\n"},
    };
    for (const Case& c : cases) {
        FakeListener i, o;
        FakeSettings s;
        FakeView v;
        FakeLog l;
        Relay r(i, o, s, timer, l, v, clock);
        r.Init_IP();  // a restart: both ports were open before
        s.values = c.values;
        r.Init_IP();
        const std::string what = c.values.empty() ? "defaults" : c.values.begin()->second;
        EXPECT_EQ(i.listening, c.inListens) << what;
        EXPECT_EQ(o.listening, c.outListens) << what;
        EXPECT_EQ(v.boxes.size(), c.box ? 1u : 0u) << what;
        EXPECT_EQ(r.statusAddress(), c.status) << what;
        EXPECT_EQ(l.text, c.log) << what;
        if (c.inListens) {
            EXPECT_EQ(i.addresses.size(), c.values.count("Bind") ? 2u : 0u) << what;
        }
    }
}

TEST_F(RelayFixture, RestartsLeaveNoPortOpenOrPeerConnectedUnderOldRules) {
    struct Case {
        const char* what;
        std::map<std::string, std::string> values, noList;
        std::set<int32_t> inBusy;
        bool inListens, outListens;
        std::vector<int> receiversClosed;
        std::string log;
    } cases[] = {
        {"new port taken, same rules", {{"Port", "4000"}}, {}, {4000}, false, true, {}, ""},
        {"Bind narrowed, AllowSenders wrong",
         {{"Port", "4000"}, {"Bind", "127.0.0.2"}, {"AllowSenders", "x"}},
         {},
         {},
         false,
         false,
         {0},
         "Error: 10022 - AllowSenders: \"x\" is not an address or a prefix; the port stays "
         "closed\r\n"},
        {"Bind narrowed to where one receiver is not",
         {{"Bind", "127.0.0.1"}},
         {},
         {},
         true,
         true,
         {1},
         ""},
        {"Bind to every IPv4 address", {{"Bind", "0.0.0.0"}}, {}, {}, true, true, {}, ""},
        {"Bind wrong",
         {{"Bind", "localhost"}},
         {},
         {},
         false,
         false,
         {0, 1},
         "Error: 10022 - Bind: \"localhost\" is not an address or a prefix; the port stays "
         "closed\r\n"},
        {"Bind stored as a number",
         {},
         {{"Bind", "a REG_DWORD value is no list"}},
         {},
         false,
         false,
         {0, 1},
         "Error: 10022 - Bind: a REG_DWORD value is no list; the port stays closed\r\n"},
        {"AllowReceivers narrowed, input port taken",
         {{"Port", "4000"}, {"AllowReceivers", "127.0.0.2"}},
         {},
         {4000},
         false,
         false,
         {1},
         ""},
        {"AllowReceivers narrowed",
         {{"AllowReceivers", "127.0.0.2/32"}},
         {},
         {},
         true,
         true,
         {1},
         ""},
        {"AllowReceivers stored as a number",
         {},
         {{"AllowReceivers", "a REG_DWORD value is no list"}},
         {},
         true,
         false,
         {0, 1},
         "Error: 10022 - AllowReceivers: a REG_DWORD value is no list; the port stays closed\r\n"},
    };
    for (const Case& c : cases) {
        FakeListener i, o;
        FakeSettings s;
        FakeView v;
        FakeLog l;
        Relay r(i, o, s, timer, l, v, clock);
        r.Init_IP();
        o.remote = {{0, "127.0.0.2"}, {1, "127.0.0.3"}};
        o.local = {{0, "127.0.0.1"}, {1, "127.0.0.2"}};
        r.receiverOpened(0);
        r.receiverOpened(1);
        s.values = c.values;
        s.noList = c.noList;
        i.busyPorts = c.inBusy;
        EXPECT_EQ(r.Init_IP().ok(), c.inListens && c.outListens) << c.what;
        EXPECT_EQ(i.listening, c.inListens) << c.what;
        EXPECT_EQ(o.listening, c.outListens) << c.what;
        EXPECT_EQ(o.closed, c.receiversClosed) << c.what;
        EXPECT_EQ(l.text, c.log) << c.what;
    }
}

TEST_F(RelayFixture, ClosingSendersAreNoFailureAndARetryOpensOnlyWhatIsClosed) {
    out.busyPorts = {3002};
    load();
    EXPECT_FALSE(relay.outputListening());
    relay.senderOpened(0);
    relay.senderOpened(1);
    in.closing.insert(0);
    const int inSwitches = in.switched;
    EXPECT_EQ(relay.reopenListeners().error, 10048);
    out.busyPorts.clear();
    EXPECT_TRUE(relay.reopenListeners().ok());
    EXPECT_TRUE(out.listening);
    EXPECT_EQ(in.switched, inSwitches);  // the input port and its senders were not touched
    EXPECT_TRUE(in.closed.empty());
    view.boxes.clear();
    EXPECT_TRUE(relay.Init_IP().ok());  // sender 0 is already closing: no failure
    EXPECT_EQ(in.closed, std::vector<int>{1});
    EXPECT_TRUE(view.boxes.empty());
    // A wrong setting is not tried, nor logged, again until it changes.
    settings.values["AllowReceivers"] = "x";
    relay.Init_IP();
    log.text.clear();
    EXPECT_TRUE(relay.reopenListeners().settingWrong);
    EXPECT_EQ(log.text, "");
}

TEST_F(RelayFixture, RefusedPeersAreLoggedOnceAMinutePerAddressAndPort) {
    settings.values = {
        {"Port", "4000"}, {"AllowSenders", "10.1.0.0/16, ::1"}, {"AllowReceivers", "192.168.4.7"}};
    load();
    EXPECT_TRUE(relay.senderRequest(ipv4(10, 1, 2, 3)));
    EXPECT_TRUE(relay.senderRequest(*parseIpAddress("::1")));
    EXPECT_FALSE(relay.senderRequest(ipv4(10, 2, 0, 1)));
    EXPECT_FALSE(relay.senderRequest(ipv4(10, 2, 0, 1)));
    EXPECT_FALSE(relay.receiverRequest(ipv4(10, 2, 0, 1)));
    EXPECT_TRUE(relay.receiverRequest(*parseIpAddress("::ffff:192.168.4.7")));
    EXPECT_EQ(log.text,
              "Error: 10013 - Connection from 10.2.0.1 to port 4000 refused\r\n"
              "Error: 10013 - Connection from 10.2.0.1 to port 4001 refused\r\n");
}

TEST_F(RelayFixture, RestartClosesEverySenderAndKeepsReceiversAndAStopClosesAll) {
    load();
    std::vector<int> senders;
    for (int id = 0; id < 40; ++id) {  // more than SenderIds records
        relay.senderOpened(id);
        senders.push_back(id);
    }
    relay.receiverOpened(0);
    settings.values["Port"] = "4000";
    relay.Init_IP();
    EXPECT_EQ(in.closed, senders);
    EXPECT_TRUE(out.closed.empty());
    for (int16_t id : relay.SenderIds()) EXPECT_EQ(id, -1);
    EXPECT_EQ(relay.List3().size(), 1u);
    EXPECT_EQ(in.port, 4000);
    EXPECT_EQ(out.port, 4001);
    relay.senderOpened(40);
    relay.unload();
    EXPECT_FALSE(in.listening || out.listening);
    EXPECT_EQ(in.closed.back(), 40);
    EXPECT_EQ(out.closed, std::vector<int>{0});
}

TEST_F(RelayFixture, APortOrTimerThatIsNoNumberIsLoggedByName) {
    struct Case {
        std::map<std::string, std::string> values;
        bool listens;
        std::string log;
    } cases[] = {
        {{{"Port", "(a REG_DWORD value, not REG_SZ)"}},
         false,
         "Error: 10022 - Port: \"(a REG_DWORD value, not REG_SZ)\" gives no input port and output "
         "port (the next number) in 1..65535; both ports stay closed\r\n"},
        {{{"Port", "65535"}},
         false,
         "Error: 10022 - Port: \"65535\" gives no input port and output port (the next number) "
         "in 1..65535; both ports stay closed\r\n"},
        {{{"Timer", "(cannot be read: error 5)"}},
         true,
         "Error: 10022 - Timer: \"(cannot be read: error 5)\" is no number; the interval is "
         "500 ms\r\n"},
        {{{"Timer", " -20"}}, true, ""},
    };
    for (const Case& c : cases) {
        FakeListener i, o;
        FakeSettings s;
        s.values = c.values;
        FakeLog l;
        Relay r(i, o, s, timer, l, view, clock);
        r.load(nullptr);
        EXPECT_EQ(i.listening && o.listening, c.listens) << c.values.begin()->second;
        EXPECT_FALSE(!c.listens && (i.listening || o.listening)) << c.values.begin()->second;
        EXPECT_EQ(l.text, c.log);
    }
}

}  // namespace
}  // namespace korrin
