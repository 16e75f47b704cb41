#include "server/net/relay.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <vector>

#include "server/net/testing/relay_fixture.h"

namespace korrin {
namespace {

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
        std::optional<int16_t> sentTo;  // as "Send to: " shows it
        std::vector<int> reached;
    } cases[] = {
        {{0}, {}, std::nullopt, {0}},
        {{0, 1, 2}, {2, 1}, 0, {0}},  // max 2 -> 1 -> 0 after the two leave
        {{0}, {0}, -1, {}},
        {{30}, {}, 30, {30}},
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
        EXPECT_TRUE(r.lineSent());
        EXPECT_EQ(r.lastSentToMax(), c.sentTo);
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
    const std::optional<int16_t> sentTo = relay.lastSentToMax();
    relay.Send_Msg();  // empty queue: "Send to: " kept, timer re-armed
    EXPECT_EQ(relay.lastSentToMax(), sentTo);
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
    for (size_t i = 0; i < limits::kQueueHighLines - 1; ++i) relay.senderData(0, "l", true);
    EXPECT_FALSE(in.paused);
    relay.senderData(0, "l", true);
    EXPECT_TRUE(in.paused);
    relay.appendToQueue("test mode still adds");
    EXPECT_EQ(relay.queue().size(), limits::kQueueHighLines + 1);
    while (relay.queue().size() > limits::kQueueHighLines / 2 + 1) relay.Send_Msg();
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
        for (size_t i = 0; i < limits::kQueueHighLines + 10; ++i)
            texts.push_back(std::to_string(i));
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
        EXPECT_EQ(fresh.queue()[limits::kQueueHighLines + 9], "100009");
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
