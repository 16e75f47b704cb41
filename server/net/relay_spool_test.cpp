#include <gtest/gtest.h>

#include <algorithm>

#include "server/net/testing/memory_folder.h"
#include "server/net/journal_line_store.h"
#include "server/net/relay.h"
#include "server/net/testing/relay_test_fakes.h"

namespace korrin {
namespace {

// Hands the relay the one disk of the test, which outlives each relay run on it.
struct DiskView final : JournalFolder {
    MemoryFolder& d;
    explicit DiskView(MemoryFolder& disk) : d(disk) {}
    std::string path() const override { return d.path(); }
    bool create() override { return d.create(); }
    bool list(std::vector<std::string>& n) override { return d.list(n); }
    std::unique_ptr<JournalFile> open(const std::string& n, bool c) override {
        return d.open(n, c);
    }
    bool remove(const std::string& n) override { return d.remove(n); }
    bool rename(const std::string& f, const std::string& t) override { return d.rename(f, t); }
    bool sync() override { return d.sync(); }
    bool freeBytes(uint64_t& b) override { return d.freeBytes(b); }
    bool stillThere() override { return d.stillThere(); }
    std::string durabilityWarning() override { return d.durabilityWarning(); }
    std::string lastError() const override { return d.lastError(); }
};

struct SpoolFixture : ::testing::Test {
    MemoryFolder disk;
    FakeSettings settings;
    FakeTimer timer, spoolTimer;
    FakeLog log;
    FakeView view;
    FakeClock clock;
    FakeListener in, out;
    std::unique_ptr<Relay> relay;

    // A start of the program: what it read before is on the disk only.
    void start() {
        relay.reset();
        in = FakeListener();
        out = FakeListener();
        settings.values["Spool"] = "/var/spool/korrin";
        relay = std::make_unique<Relay>(in, out, settings, timer, log, view, clock);
        relay->useSpool([this](const std::string&) { return std::make_unique<DiskView>(disk); },
                        spoolTimer);
        relay->load(nullptr);
        relay->receiverOpened(0);
    }
    void read(int from, int to, size_t extra = 0) {
        for (int n = from; n <= to; ++n)
            relay->senderData(0, "line " + std::to_string(n) + std::string(extra, '.'), true);
        relay->senderReadDone();
    }
    std::string sent(int steps) {
        for (int i = 0; i < steps; ++i) relay->Send_Msg();
        return out.sent[0];
    }
};

TEST_F(SpoolFixture, AStartSendsEveryLineReadAfterTheLastOneSentInOrder) {
    start();
    read(1, 10);
    EXPECT_EQ(sent(4), "line 1\nline 2\nline 3\nline 4\n");
    start();  // killed: nothing flushed or closed on the way out
    EXPECT_NE(log.text.find("Spool: 6 lines recovered; sending from line 5 on"), std::string::npos);
    EXPECT_EQ(relay->queue().size(), 6u);
    read(11, 11);
    EXPECT_EQ(sent(8), "line 5\nline 6\nline 7\nline 8\nline 9\nline 10\nline 11\n");
}

TEST_F(SpoolFixture, AFolderThatCannotBeWrittenKeepsTheInputClosedUntilItCan) {
    disk.broken = true;
    start();
    EXPECT_FALSE(in.listening);
    EXPECT_TRUE(out.listening);
    EXPECT_EQ(spoolTimer.interval, 30000);
    EXPECT_EQ(relay->spoolError(), "cannot create mem: Input/output error");
    relay->spoolTick();  // still broken: logged once
    disk.broken = false;
    relay->spoolTick();
    EXPECT_TRUE(in.listening);
    EXPECT_EQ(relay->spoolError(), "");
    EXPECT_EQ(log.text,
              "Error: 29 - Spool: cannot create mem: Input/output error; the input port stays "
              "closed\r\nError: 0 - Spool: /var/spool/korrin works again\r\n");
}

TEST_F(SpoolFixture, AFullDiskPausesReadingAndLosesNothing) {
    start();
    read(1, 2);
    disk.spaceLeft = 40;
    read(3, 20);
    EXPECT_TRUE(in.paused);
    EXPECT_EQ(sent(5), "line 1\nline 2\n");  // unwritten lines wait
    disk.spaceLeft = UINT64_MAX;
    relay->spoolTick();
    EXPECT_FALSE(in.paused);
    std::string all;
    for (int n = 1; n <= 20; ++n) all += "line " + std::to_string(n) + "\n";
    EXPECT_EQ(sent(20), all);
    relay->spoolTick();
    sent(1);  // the queue empty: /healthz follows the spool, which works again
    EXPECT_EQ(relay->spoolError(), "");
    EXPECT_NE(log.text.find("Spool: cannot write"), std::string::npos);
    EXPECT_NE(log.text.find("Spool: writing works again"), std::string::npos);
}

TEST_F(SpoolFixture, AVolumeThatMayNotKeepFlushedLinesIsWarnedOfOnce) {
    disk.warning = "a FAT32 volume";
    start();
    read(1, 5);
    relay->spoolTick();
    const std::string line = "Spool: /var/spool/korrin is on a FAT32 volume: ";
    EXPECT_NE(log.text.find(line), std::string::npos) << log.text;
    EXPECT_EQ(log.text.find(line), log.text.rfind(line));
}

TEST_F(SpoolFixture, MemoryHoldsAWindowAndTheLimitPausesUntilSegmentsGo) {
    settings.values["SpoolLimit"] = "4";
    start();
    read(1, 20000);
    EXPECT_EQ(relay->queueLines(), 20000u);
    EXPECT_EQ(relay->queue().size(), JournalLineStore::kWindowLines);
    EXPECT_FALSE(in.paused);
    read(20001, 24000, 1000);  // past 4 MiB
    EXPECT_TRUE(in.paused);
    const uint64_t queued = relay->queueLines();
    for (uint64_t i = 0; i < queued && in.paused; ++i) relay->Send_Msg();
    EXPECT_FALSE(in.paused);
    EXPECT_LT(relay->queueBytes(), 4u * 1024 * 1024);
    for (uint64_t i = 0; i < queued; ++i) relay->Send_Msg();
    const std::string& got = out.sent[0];
    EXPECT_EQ(std::count(got.begin(), got.end(), '\n'), 24000);
    EXPECT_EQ(got.substr(got.rfind("line 24000")), "line 24000" + std::string(1000, '.') + "\n");
}

// An outbox (a broker): the lines it is owed stay even at SpoolLimit, where reading pauses
// instead, and once it lets go of them reading resumes with no line to send meanwhile.
struct Outbox final : RelayOutput {
    uint64_t acked = 0;
    void send(uint64_t, std::string_view) override {}
    uint64_t keepFrom(uint64_t) override { return acked + 1; }
    uint64_t mustKeepFrom(uint64_t) override { return acked + 1; }
};

TEST_F(SpoolFixture, AnOutboxKeepsWhatItIsOwedAtTheLimitAndReadingResumesWhenItLetsGo) {
    settings.values["SpoolLimit"] = "4";
    start();
    Outbox box;
    relay->addOutput(box);
    read(1, 1200, 4000);  // past 4 MiB
    sent(1200);
    EXPECT_TRUE(in.paused);
    EXPECT_EQ(relay->firstKept(), 1u);
    box.acked = 1200;
    relay->outputLetGo();
    EXPECT_FALSE(in.paused);
    EXPECT_LT(relay->queueBytes(), 4u * 1024 * 1024);
    relay->removeOutput(box);
}

}  // namespace
}  // namespace korrin

namespace korrin {
namespace {

// Catch-ups work the same from memory and from the spool.
// A start with ReplayLines 3 and ResumeSeconds 60, the lines kept in memory or in the spool.
struct CatchUpFixture : SpoolFixture {
    void startCatchUps(bool spool, std::map<std::string, std::string> more = {}) {
        disk.files.clear();
        settings.values = {{"ReplayLines", "3"}, {"ResumeSeconds", "60"}};
        settings.values.insert(more.begin(), more.end());
        start();
        if (!spool) {
            relay = std::make_unique<Relay>(in, out, settings, timer, log, view, clock);
            relay->load(nullptr);
            relay->receiverOpened(0);
        }
        ASSERT_EQ(relay->spoolOpen(), spool);
    }
};

TEST_F(CatchUpFixture, ReplayAndResumeGiveMissedLinesInOrderThenTheLiveOnes) {
    for (bool spool : {false, true}) {
        SCOPED_TRACE(spool ? "spool" : "memory");
        startCatchUps(spool);
        read(1, 5);
        sent(5);
        out.remote[1] = out.remote[2] = "10.1.1.1";
        relay->receiverOpened(1);  // new: the last three at once
        EXPECT_EQ(out.sent[1], "line 3\nline 4\nline 5\n");
        relay->receiverOpened(2);
        read(6, 9);
        sent(1);
        relay->receiverClosed(2);  // left after line 6
        sent(1);
        relay->receiverClosed(1);  // left after line 7
        sent(2);
        out.sent.clear();
        relay->receiverOpened(1);  // each takes up a place, the oldest first
        relay->receiverOpened(2);
        EXPECT_EQ(out.sent[1], "line 7\nline 8\nline 9\n");
        EXPECT_EQ(out.sent[2], "line 8\nline 9\n");
        read(10, 10);
        sent(1);
        EXPECT_EQ(out.sent[0].substr(out.sent[0].size() - 8), "line 10\n");
        EXPECT_EQ(out.sent[1], "line 7\nline 8\nline 9\nline 10\n");
        relay->receiverClosed(1);
        clock.t += std::chrono::seconds(61);  // too late to resume: a replay
        out.sent.erase(1);
        relay->receiverOpened(1);
        EXPECT_EQ(out.sent[1], "line 8\nline 9\nline 10\n");
        EXPECT_EQ(relay->counters().resumedReceivers, 2u);
    }
}

// A catch-up goes on without new lines; a receiver dropped with lines in its buffer gets them
// again; a second receiver from one address that may have missed lines has them counted.
TEST_F(CatchUpFixture, CatchUpsNeitherStallNorSkip) {
    for (bool spool : {false, true}) {
        SCOPED_TRACE(spool ? "spool" : "memory");
        startCatchUps(spool);
        read(1, 5);
        sent(5);
        out.pending[1] = 8u << 20;  // a full buffer: nothing more for now
        relay->receiverOpened(1);
        EXPECT_EQ(out.sent[1], "");
        out.pending[1] = 0;
        relay->Send_Msg();  // the queue is empty
        EXPECT_EQ(out.sent[1], "line 3\nline 4\nline 5\n");

        out.pending[1] = 100;  // lines 4 to 6 may not have left yet
        read(6, 6);
        sent(1);
        out.unsent[1] = 7;  // "line 6\n" never did
        relay->receiverClosed(1);
        out.sent.erase(1);
        relay->receiverOpened(1);
        EXPECT_EQ(out.sent[1], "line 6\n");
        EXPECT_EQ(relay->counters().linesLost.count("not_kept"), 0u);

        out.remote[2] = out.remote[3] = "10.1.1.1";
        relay->receiverOpened(2);
        relay->receiverOpened(3);
        relay->receiverClosed(2);  // after line 6
        read(7, 8);
        sent(2);
        relay->receiverClosed(3);  // after line 8
        relay->receiverOpened(2);  // takes the oldest place: 7 and 8
        relay->receiverOpened(3);  // may be the one that left after 6: 7 and 8 counted
        EXPECT_EQ(relay->counters().linesLost.at("not_kept"), 2u);
    }
}

// The place table is bounded: the place that left first goes, whatever its address.
TEST_F(SpoolFixture, AFullPlaceTableForgetsTheOldestPlace) {
    settings.values = {{"ResumeSeconds", "3600"}};
    start();
    read(1, 1);
    sent(1);
    for (int n = 0; n <= 1000; ++n) {
        out.remote[1] =
            n == 0 ? "9.9.9.9" : "5.0." + std::to_string(n / 256) + "." + std::to_string(n % 256);
        relay->receiverOpened(1);
        relay->receiverClosed(1);
        clock.t += std::chrono::milliseconds(1);
    }
    out.remote[1] = "9.9.9.9";
    relay->receiverOpened(1);
    EXPECT_EQ(relay->counters().resumedReceivers, 0u);
    out.remote[2] = "5.0.0.1";
    relay->receiverOpened(2);
    EXPECT_EQ(relay->counters().resumedReceivers, 1u);
}

// A second kind of receiver that acknowledges late: the store keeps what it has not
// acknowledged, in memory as in the spool (whose segments hold 1 MiB here), and lets it go once
// it has; the TCP receivers are not held up meanwhile.
struct LateAck final : RelayOutput {
    uint64_t got = 0, acked = 0;
    void send(uint64_t seq, std::string_view) override { got = seq; }
    uint64_t keepFrom(uint64_t) override { return acked + 1; }
};

TEST_F(CatchUpFixture, AnOutputThatAcknowledgesLateHoldsItsLinesInTheStore) {
    for (bool spool : {false, true}) {
        SCOPED_TRACE(spool ? "spool" : "memory");
        LateAck ack;
        startCatchUps(spool, {{"SpoolLimit", "4"}});
        relay->addOutput(ack);
        read(1, 600, 4000);
        const std::string toReceiver = sent(600);
        EXPECT_EQ(std::count(toReceiver.begin(), toReceiver.end(), '\n'), 600);
        EXPECT_EQ(ack.got, 600u);
        EXPECT_EQ(relay->firstKept(), 1u);
        ack.acked = 600;
        read(601, 601);
        sent(1);
        EXPECT_GT(relay->firstKept(), 500u);  // ReplayLines still keeps the last three
        EXPECT_LE(relay->firstKept(), 599u);
        relay.reset();
    }
}

}  // namespace
}  // namespace korrin
