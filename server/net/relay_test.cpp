#include "server/net/relay.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

#include "server/net/testing/relay_test_fakes.h"

namespace korrin {
namespace {

struct RelayFixture : ::testing::Test {
    FakeListener in, out;
    FakeSettings settings;
    FakeTimer timer;
    FakeLog log;
    FakeView view;
    FakeClock clock;
    Relay relay{in, out, settings, timer, log, view, clock};
    int languageCalls = 0;

    void load() {
        relay.load([this] { ++languageCalls; });
    }
    std::vector<std::string> queueLines() const {
        return {relay.queue().begin(), relay.queue().end()};
    }
};

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
        EXPECT_EQ(r.Label4(), "Updateinterval: " + std::to_string(c.interval));
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

TEST_F(RelayFixture, MaxReceiverIdFollowsItsRaiseAndLowerRules) {
    load();
    struct Step {
        bool open;
        int id;
        std::optional<int16_t> max;
    };
    const std::vector<std::vector<Step>> sequences = {
        {{true, 0, std::nullopt}, {false, 0, -1}},
        {{true, 1, 1}, {true, 2, 2}, {true, 3, 3}, {false, 3, 2}, {false, 1, 2}},
        {{true, 5, 5}, {true, 2, 5}, {false, 2, 5}, {false, 5, 4}},
    };
    for (const auto& seq : sequences) {
        FakeListener i, o;
        FakeTimer t;
        FakeView v;
        Relay r(i, o, settings, t, log, v, clock);
        r.load(nullptr);
        for (const Step& s : seq) {
            if (s.open)
                r.receiverOpened(s.id);
            else
                r.receiverClosed(s.id);
            EXPECT_EQ(r.MaxReceiverId(), s.max) << (s.open ? "open " : "close ") << s.id;
        }
    }
}

TEST_F(RelayFixture, ReceiverListAndHostsFollowConnections) {
    load();
    out.remote[4] = "192.168.1.9";
    relay.receiverOpened(4);
    EXPECT_EQ(out.delimiter[4], "\n");
    EXPECT_FALSE(out.receiving[4]);
    ASSERT_EQ(relay.List3().size(), 1u);
    EXPECT_EQ(relay.List3()[0].text, "192.168.1.9-4");
    EXPECT_EQ(relay.List3()[0].id, 4);
    EXPECT_EQ(relay.ReceiverHosts()[4], "192.168.1.9");
    relay.receiverDoubleClick(0);  // no such entry
    EXPECT_TRUE(out.closed.empty());
    relay.receiverDoubleClick(relay.List3()[0].serial);
    EXPECT_EQ(out.closed, std::vector<int>{4});
    relay.receiverClosed(4);
    EXPECT_TRUE(relay.List3().empty());
    EXPECT_EQ(relay.ReceiverHosts()[4], "");
}

TEST_F(RelayFixture, ReceiverBeyondTheTableIsClosedAndNeverListed) {
    load();
    relay.receiverOpened(31);
    EXPECT_EQ(out.closed, std::vector<int>{31});
    EXPECT_TRUE(relay.List3().empty());
    relay.receiverClosed(31);
    EXPECT_FALSE(relay.MaxReceiverId().has_value());
}

TEST_F(RelayFixture, SendStepScansUpToMaxPlusTwoCappedAtThirty) {
    struct Case {
        std::vector<int> receivers;
        std::vector<int> closedAfter;
        std::string label3;
        std::vector<int> reached;
    } cases[] = {
        {{0}, {}, "Send to: ", {0}},
        {{0, 1, 2}, {2, 1}, "Send to: 0", {0}},  // max 2 -> 1 -> 0 after the two leave
        {{0}, {0}, "Send to: -1", {}},
        {{30}, {}, "Send to: 30", {30}},
    };
    for (const Case& c : cases) {
        FakeListener i, o;
        FakeTimer t;
        FakeView v;
        Relay r(i, o, settings, t, log, v, clock);
        r.load(nullptr);
        for (int id : c.receivers) r.receiverOpened(id);
        for (int id : c.closedAfter) r.receiverClosed(id);
        r.appendToQueue("hello");
        r.Send_Msg();
        EXPECT_EQ(r.Label3(), c.label3);
        std::vector<int> reached;
        for (auto& [id, bytes] : o.sent) {
            EXPECT_EQ(bytes, "hello\n");
            reached.push_back(id);
        }
        EXPECT_EQ(reached, c.reached);
        EXPECT_TRUE(r.queue().empty());
    }
}

TEST_F(RelayFixture, QueueDrainsOneLinePerTickInOrder) {
    load();
    relay.receiverOpened(0);
    relay.receiverOpened(1);
    relay.senderOpened(0);
    for (const char* l : {"a", "b", "c"}) relay.senderData(0, l, true);
    relay.senderData(0, "piece", false);  // no line end: dropped
    for (int tick = 0; tick < 3; ++tick) {
        relay.Send_Msg();
        EXPECT_TRUE(timer.enabled);
        EXPECT_EQ(timer.interval, 500);
    }
    EXPECT_EQ(out.sent[0], "a\nb\nc\n");
    EXPECT_EQ(out.sent[1], "a\nb\nc\n");
    EXPECT_TRUE(relay.queue().empty());
    const std::string label3 = relay.Label3();
    relay.Send_Msg();  // empty queue: label kept, timer re-armed
    EXPECT_EQ(relay.Label3(), label3);
    EXPECT_TRUE(timer.enabled);
}

TEST_F(RelayFixture, LineWithoutReceiversIsConsumed) {
    load();
    relay.appendToQueue("nobody");
    relay.Send_Msg();
    EXPECT_TRUE(relay.queue().empty());
    EXPECT_TRUE(out.sent.empty());
}

TEST_F(RelayFixture, FailingReceiverIsDroppedAndThePacingGoesOn) {
    load();
    relay.receiverOpened(0);
    relay.receiverOpened(1);
    relay.receiverOpened(2);
    out.failingSends.insert(1);
    relay.appendToQueue("one");
    relay.appendToQueue("two");
    relay.Send_Msg();
    EXPECT_EQ(relay.Label2(), "Error: 10054 Connection reset by peer");
    EXPECT_EQ(out.closed, std::vector<int>{1});
    EXPECT_EQ(out.sent[0], "one\n");
    EXPECT_EQ(out.sent[2], "one\n");
    EXPECT_EQ(queueLines(), std::vector<std::string>{"two"});
    EXPECT_TRUE(timer.enabled);
    EXPECT_EQ(timer.interval, 500);
    relay.receiverClosed(1);
    relay.receiverOpened(1);  // a new receiver clears the failure text
    EXPECT_EQ(relay.Label2(), "");
}

// Receivers 0..2 get "x"; receiver 1 is in the state of the row at the send step.
TEST_F(RelayFixture, SendStepCountsOnlyRealFailuresOfOpenReceivers) {
    struct Case {
        const char* what;
        bool closing, failing;
        std::string label2;
        std::vector<int> closed;
    } cases[] = {
        {"open", false, false, "", {}},
        {"closing, its closed event still to come", true, false, "", {}},
        {"closing, and its socket would fail", true, true, "", {}},
        {"open, and the send fails", false, true, "Error: 10054 Connection reset by peer", {1}},
    };
    for (const Case& c : cases) {
        FakeListener i, o;
        FakeView v;
        Relay r(i, o, settings, timer, log, v, clock);
        r.load(nullptr);
        for (int id = 0; id < 3; ++id) r.receiverOpened(id);
        if (c.closing) o.closing.insert(1);
        if (c.failing) o.failingSends.insert(1);
        r.appendToQueue("x");
        r.Send_Msg();
        EXPECT_EQ(r.Label2(), c.label2) << c.what;
        EXPECT_EQ(o.closed, c.closed) << c.what;
        EXPECT_EQ(o.sent[0] + o.sent[2], "x\nx\n") << c.what;
        EXPECT_EQ(o.sent.count(1) && !o.sent[1].empty(), !c.closing && !c.failing) << c.what;
        EXPECT_TRUE(r.queue().empty()) << c.what;
    }
}

TEST_F(RelayFixture, QueueSelectionAndPauseFollowTheQueue) {
    load();
    relay.appendToQueue("test mode");  // test mode leaves the selection alone
    EXPECT_FALSE(relay.queueHeadSelected());
    relay.senderData(0, "from a sender", true);
    EXPECT_TRUE(relay.queueHeadSelected());
    relay.Send_Msg();  // sends the selected head: nothing selected until the next append
    EXPECT_FALSE(relay.queueHeadSelected());
    EXPECT_EQ(relay.queue().size(), 1u);
}

TEST_F(RelayFixture, SenderIdsTakeTheLowestFreeEntryAndSkipTheThirtySecond) {
    load();
    for (int id = 0; id < 32; ++id) relay.senderOpened(id);
    EXPECT_EQ(relay.List1().size(), 32u);
    for (int i = 0; i < 31; ++i) EXPECT_EQ(relay.SenderIds()[i], i);
    EXPECT_EQ(in.delimiter[31], "\n");
    EXPECT_TRUE(in.receiving[31]);
    relay.senderClosed(31);  // listed but not recorded: only its entry goes
    EXPECT_EQ(relay.List1().size(), 31u);
    relay.senderClosed(5);
    EXPECT_EQ(relay.SenderIds()[5], -1);
    relay.senderOpened(40);
    EXPECT_EQ(relay.SenderIds()[5], 40);
    EXPECT_EQ(relay.List1().back().text, "127.0.0.1-40");
    relay.unload();
    EXPECT_EQ(in.closed.size(), 31u);
}

TEST_F(RelayFixture, SenderDoubleClickClosesTheSelectedSender) {
    load();
    relay.senderOpened(3);
    relay.senderOpened(7);
    const uint64_t seven = relay.List1()[1].serial;
    relay.senderDoubleClick(0);
    relay.senderDoubleClick(seven + 1);
    EXPECT_TRUE(in.closed.empty());
    relay.senderDoubleClick(seven);
    EXPECT_EQ(in.closed, std::vector<int>{7});
    // The entry the operator saw has gone and its id came back: the newcomer stays.
    relay.senderClosed(7);
    relay.senderOpened(7);
    relay.senderDoubleClick(seven);
    EXPECT_EQ(in.closed, std::vector<int>{7});
}

TEST_F(RelayFixture, ErrorEventsAppendOneLineEach) {
    load();
    relay.logError(10040, "Message too long");
    relay.logError(-5, "odd");
    EXPECT_EQ(log.text, "Error: 10040 - Message too long\r\nError: -5 - odd\r\n");
}

TEST_F(RelayFixture, ReadingPausesAtTheHighWaterMarkAndResumesAtHalf) {
    load();
    for (size_t i = 0; i < Relay::kQueueHighLines - 1; ++i) relay.senderData(0, "l", true);
    EXPECT_FALSE(in.paused);
    relay.senderData(0, "l", true);
    EXPECT_TRUE(in.paused);
    relay.appendToQueue("test mode still adds");
    EXPECT_EQ(relay.queue().size(), Relay::kQueueHighLines + 1);
    while (relay.queue().size() > Relay::kQueueHighLines / 2 + 1) relay.Send_Msg();
    EXPECT_TRUE(in.paused);
    relay.Send_Msg();
    EXPECT_FALSE(in.paused);
    // Both turns are logged, once each.
    EXPECT_EQ(log.text,
              "Error: 10055 - Send queue full (100000 lines): reading from senders paused\r\n"
              "Error: 0 - Send queue down to 50000 lines: reading from senders resumed\r\n");
}

// Lines handed on a read at a time queue as one at a time would: in order, counted, and reading
// pauses at the very line that fills the queue, whichever batch holds it.
TEST_F(RelayFixture, LinesOfOneReadQueueAsOneAtATime) {
    for (size_t batch : {size_t(1), size_t(7), size_t(4096)}) {
        log.text.clear();
        in.paused = false;
        Relay fresh(in, out, settings, timer, log, view, clock);
        fresh.load([] {});
        fresh.senderOpened(0);
        std::vector<std::string> texts;
        for (size_t i = 0; i < Relay::kQueueHighLines + 10; ++i) texts.push_back(std::to_string(i));
        for (size_t i = 0; i < texts.size(); i += batch) {
            const std::vector<std::string_view> lines(
                texts.begin() + i, texts.begin() + std::min(i + batch, texts.size()));
            fresh.senderLines(0, lines);
        }
        EXPECT_TRUE(in.paused) << batch;
        EXPECT_EQ(log.text,
                  "Error: 10055 - Send queue full (100000 lines): reading from senders paused\r\n")
            << batch;
        ASSERT_EQ(fresh.queue().size(), texts.size()) << batch;
        EXPECT_EQ(fresh.counters().linesIn, texts.size()) << batch;
        EXPECT_EQ(fresh.queue()[0], "0");
        EXPECT_EQ(fresh.queue()[Relay::kQueueHighLines + 9], "100009");
    }
}

TEST_F(RelayFixture, LinesKeepEveryByteValue) {
    load();
    relay.receiverOpened(0);
    const std::string line("a\r\0\xff", 4);
    relay.senderData(0, line, true);
    relay.Send_Msg();
    EXPECT_EQ(out.sent[0], line + "\n");
}

}  // namespace
}  // namespace korrin
