#include "server/linux/journal_folder_linux.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "server/net/testing/journal_folder_contract.h"
#include "server/net/relay.h"
#include "server/net/testing/relay_test_fakes.h"

namespace korrin {
namespace {

std::string freshDir() {
    char dir[] = "/tmp/korrin-spool-XXXXXX";
    return mkdtemp(dir);
}

TEST(PosixFolder, KeepsTheFolderContract) {
    const std::string dir = freshDir();
    PosixFolder folder(dir + "/a/b/spool");  // parents made too
    checkFolderContract(folder);
    std::system(("rm -rf " + dir).c_str());
}

// A spool written before the journal was split into its parts (its sent file with one slot,
// segments of 200 bytes): every unsent line opens in order, and numbers go on after its last.
TEST(PosixFolder, ASpoolWrittenByAnEarlierBuildOpens) {
    const std::string dir = freshDir();
    std::system(
        ("cp " KORRIN_SOURCE_DIR "/server/net/testdata/spool-12-lines-3-sent/* " + dir).c_str());
    PosixFolder folder(dir);
    Journal journal(folder);
    NoteList notes;
    ASSERT_TRUE(journal.open(notes));
    EXPECT_EQ(notes, std::vector<std::string>{});
    EXPECT_EQ(journal.sentSeq(), 3u);
    std::string lines, line;
    uint64_t seq = 0;
    for (Journal::Reader r = journal.reader(4); r.next(line, seq);) lines += line + ",";
    EXPECT_EQ(lines, "line 4,line 5,line 6,line 7,line 8,line 9,line 10,line 11,line 12,");
    EXPECT_EQ(journal.append("line 13"), 13u);
    std::system(("rm -rf " + dir).c_str());
}

TEST(PosixFolder, AFolderThatCannotBeWrittenSaysSo) {
    const std::string dir = freshDir();
    if (geteuid() != 0) {
        chmod(dir.c_str(), 0500);
        PosixFolder folder(dir + "/spool");
        EXPECT_FALSE(folder.create());
        EXPECT_EQ(folder.lastError(), "Permission denied");
    }
    PosixFolder file("/dev/null");
    EXPECT_FALSE(file.create());
    EXPECT_EQ(file.lastError(), "Not a directory");
    chmod(dir.c_str(), 0700);
    std::system(("rm -rf " + dir).c_str());
}

// A file size limit stands in for a full disk: the writes fail part-way, the lines wait, and
// once there is room again every one of them is there, once.
TEST(PosixFolder, WritesThatFailForSpaceAreWrittenWholeLater) {
    const std::string dir = freshDir();
    PosixFolder folder(dir);
    Journal j(folder, 1 << 20);
    NoteList notes;
    ASSERT_TRUE(j.open(notes));
    signal(SIGXFSZ, SIG_IGN);
    rlimit before;
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit small = before;
    small.rlim_cur = 64 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);
    for (int i = 0; i < 2000; ++i) j.append("line " + std::to_string(i) + std::string(90, '.'));
    const bool written = j.writeOut();
    const std::string why = j.error();
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_FALSE(written);
    EXPECT_NE(why.find("File too large"), std::string::npos) << why;
    ASSERT_TRUE(j.sync()) << j.error();
    Journal again(folder, 1 << 20);
    ASSERT_TRUE(again.open(notes));
    EXPECT_TRUE(notes.empty());
    auto r = again.reader(1);
    std::string line;
    uint64_t seq = 0, count = 0;
    while (r.next(line, seq))
        EXPECT_EQ(line.substr(0, line.find('.')), "line " + std::to_string(count++));
    EXPECT_EQ(count, 2000u);
    std::system(("rm -rf " + dir).c_str());
}

// A relay over a spool in a real folder (the "Spool" setting), with fakes for its other seams.
struct RelayOnDisk : ::testing::Test {
    FakeListener in, out;
    FakeSettings settings;
    FakeTimer timer, spoolTimer;
    FakeLog log;
    FakeView view;
    FakeClock clock;
    std::unique_ptr<Relay> relay;
    // A start of the program: what it read before is in the folder only.
    void start() {
        relay.reset();
        relay = std::make_unique<Relay>(in, out, settings, timer, log, view, clock);
        relay->useSpool([](const std::string& path) { return std::make_unique<PosixFolder>(path); },
                        spoolTimer);
        relay->load(nullptr);
        relay->receiverOpened(0);
    }
};

// The relay over a spool on a 2 MiB volume, with SpoolLimit at its default of 1 GiB: its own
// segments fill the disk; once their lines are sent, room comes back and reading resumes by
// itself, also after a start on the full disk. /healthz follows the spool's error.
TEST_F(RelayOnDisk, ARelayWhoseSpoolFillsASmallVolumeResumesByItself) {
    struct Volume {
        std::string dir = freshDir();
        bool mounted = geteuid() == 0 && mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=2m") == 0;
        ~Volume() {
            if (mounted) umount(dir.c_str());
            rmdir(dir.c_str());
        }
    } volume;
    if (!volume.mounted) GTEST_SKIP() << "mounting a 2 MiB tmpfs needs root";
    settings.values["Spool"] = volume.dir;
    int read = 0;
    const auto readUntilPaused = [&] {
        for (int i = 0; i < 4000 && !in.paused; ++i) {
            relay->senderData(0, "line " + std::to_string(++read) + std::string(1000, '.'), true);
            if (i % 50 == 49) relay->senderReadDone();
        }
        relay->senderReadDone();
    };
    // Sends what there is, with a spool tick now and then, until reading goes on.
    const auto sendUntilResumed = [&] {
        for (int step = 0; step < 8000 && in.paused; ++step) {
            relay->Send_Msg();
            if (step % 100 == 99) relay->spoolTick();
        }
    };
    start();
    EXPECT_NE(log.text.find("segments of 512 KiB"), std::string::npos) << log.text;
    EXPECT_NE(log.text.find("is on a file system in memory (tmpfs)"), std::string::npos);
    readUntilPaused();
    ASSERT_TRUE(in.paused) << "the volume never filled";
    EXPECT_NE(log.text.find("No space left on device"), std::string::npos);
    sendUntilResumed();
    EXPECT_FALSE(in.paused);
    EXPECT_EQ(relay->spoolError(), "");
    // A start on a disk filled by segments whose lines were all sent, as a kill may leave it.
    relay.reset();
    PosixFolder folder(volume.dir);
    NoteList notes;
    {
        Journal j(folder);
        ASSERT_TRUE(j.open(notes));
        do {
            for (int i = 0; i < 50; ++i) j.append("line " + std::to_string(++read));
        } while (j.writeOut());
    }
    {
        Journal j(folder);
        ASSERT_TRUE(j.open(notes));
        j.markSent(j.lastSeq());
        ASSERT_TRUE(j.sync()) << j.error();
        read = static_cast<int>(j.lastSeq());  // the lines not written were in memory only
    }
    in = FakeListener();
    start();
    readUntilPaused();
    sendUntilResumed();
    EXPECT_FALSE(in.paused);
    for (int step = 0; step < 8000 && relay->queueLines() > 0; ++step) relay->Send_Msg();
    relay->spoolTick();
    relay->Send_Msg();
    EXPECT_EQ(relay->spoolError(), "");
    // Every line in order, the last one read included.
    const std::string& got = out.sent[0];
    int previous = 0;
    for (size_t at = 0; (at = got.find("line ", at)) != std::string::npos; ++at) {
        const int n = std::stoi(got.substr(at + 5));
        EXPECT_GT(n, previous);
        previous = n;
    }
    EXPECT_EQ(previous, read);
}

// The folder deleted under a running relay: the flush that finds it out pauses reading and says
// why (/healthz 503); once the folder can be made again the lines are written to it, and a start
// on it sends every line not sent.
TEST_F(RelayOnDisk, ARelayWhoseSpoolFolderIsDeletedWritesItsLinesToANewOne) {
    const std::string dir = freshDir(), spool = dir + "/spool";
    settings.values["Spool"] = spool;
    const auto startAnew = [&] {
        relay.reset();
        in = FakeListener();
        out = FakeListener();
        start();
    };
    const auto read = [&](int from, int to) {
        for (int n = from; n <= to; ++n) relay->senderData(0, "line " + std::to_string(n), true);
        relay->senderReadDone();
    };
    startAnew();
    read(1, 100);
    for (int i = 0; i < 3; ++i) relay->Send_Msg();
    relay->spoolTick();
    std::system(("rm -rf " + spool).c_str());
    std::ofstream(spool) << "in the way\n";  // the folder cannot be made yet
    read(101, 200);
    relay->spoolTick();
    EXPECT_TRUE(in.paused);
    EXPECT_NE(relay->spoolError().find("deleted"), std::string::npos) << relay->spoolError();
    unlink(spool.c_str());
    relay->spoolTick();
    EXPECT_FALSE(in.paused);
    EXPECT_EQ(relay->spoolError(), "");
    startAnew();  // killed
    std::string all;
    for (int n = 4; n <= 200; ++n) all += "line " + std::to_string(n) + "\n";
    for (int i = 0; i < 200; ++i) relay->Send_Msg();
    EXPECT_EQ(out.sent[0], all);
    std::system(("rm -rf " + dir).c_str());
}

}  // namespace
}  // namespace korrin
