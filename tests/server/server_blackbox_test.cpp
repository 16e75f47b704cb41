// Black-box tests of KorrinServer.exe under Wine: Linux peers on 127.0.0.1, the window read
// and driven from outside.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "server_harness.h"

namespace korrin::blackbox {
namespace {

class Server : public ::testing::Test {
protected:
    void SetUp() override {
        if (win32BuildDir().empty()) {
            if (std::getenv("KORRIN_REQUIRE_WIN32")) FAIL() << "build/win32 is missing";
            GTEST_SKIP() << "no Windows build to test";
        }
        server_ = std::make_unique<ServerUnderTest>();
    }
    void TearDown() override {
        for (int fd : fds_) closeFd(fd);
        server_.reset();
    }
    ServerUnderTest& s() { return *server_; }
    // Starts on the given input port with a fast pacing timer.
    void startOn(int port, int timerMs = 100) {
        s().setSetting("Port", std::to_string(port));
        s().setSetting("Timer", std::to_string(timerMs));
        ASSERT_TRUE(s().start());
        ASSERT_TRUE(listening(port) && listening(port + 1));
    }
    bool listening(int port) { return listensWithin(port, 5000); }
    int keep(int fd) {
        fds_.push_back(fd);
        return fd;
    }
    int receiver(int port) {
        int fd = keep(connectTo(port + 1));
        return fd;
    }
    // Waits until the window lists n receivers.
    void waitReceivers(size_t n) {
        auto d = s().waitFor([n](auto& m) { return m["list3.count"] == std::to_string(n); });
        ASSERT_EQ(d["list3.count"], std::to_string(n));
    }

    std::unique_ptr<ServerUnderTest> server_;
    std::vector<int> fds_;
};

TEST_F(Server, DefaultsListenOn3001And3002) {
    ASSERT_TRUE(s().start());
    EXPECT_TRUE(listening(3001));
    EXPECT_TRUE(listening(3002));
    auto d = s().dump();
    EXPECT_EQ(d["caption"], "Korrin Server");
    EXPECT_EQ(d["status2"], "3001");
    EXPECT_FALSE(d["status1"].empty());
    EXPECT_EQ(d["label4"], "Updateinterval: 500");
    EXPECT_EQ(d["visible.list2"], "0");
    EXPECT_EQ(d["visible.command2"], "0");
}

TEST_F(Server, PortTextWithBlanksIsTrimmedForListeningButShownAsStored) {
    s().setSetting("Port", " 4000 ");
    s().setSetting("Timer", "5000");
    ASSERT_TRUE(s().start());
    EXPECT_TRUE(listening(4000));
    EXPECT_TRUE(listening(4001));
    auto d = s().dump();
    EXPECT_EQ(d["status2"], " 4000 ");
    EXPECT_EQ(d["label4"], "Updateinterval: 1000");
}

TEST_F(Server, OccupiedOutputPortShowsTheMessageOnceWhileTheInputListens) {
    int blocker = occupyPort(4111);
    ASSERT_GE(blocker, 0);
    keep(blocker);
    s().setSetting("Port", "4110");
    ASSERT_TRUE(s().start());
    std::string box = s().probe({"msgbox", "ok"});
    EXPECT_NE(box.find("Error setting Portaddress"), std::string::npos) << box;
    EXPECT_NE(box.find("|OK"), std::string::npos) << box;
    EXPECT_EQ(box.find("Cancel"), std::string::npos) << box;
    EXPECT_TRUE(listening(4110));
    int rc = 0;
    s().probe({"msgbox"}, &rc);
    EXPECT_NE(rc, 0) << "a second message box appeared";
    EXPECT_EQ(s().dump()["status2"], "");
}

TEST_F(Server, PortThatIsNoNumberIsAFailureNotARandomPort) {
    s().setSetting("Port", "abc");
    ASSERT_TRUE(s().start());
    std::string box = s().probe({"msgbox", "ok"});
    EXPECT_NE(box.find("Error setting Portaddress"), std::string::npos) << box;
    EXPECT_FALSE(isListening(1));
}

TEST_F(Server, SecondStartBeepsAndExitsWhileTheFirstKeepsServing) {
    startOn(4120);
    EXPECT_EQ(s().startSecondCopy(20000), 0);
    EXPECT_TRUE(s().running());
    int r = receiver(4120);
    waitReceivers(1);
    int snd = keep(connectTo(4120));
    sendAll(snd, "still here\n");
    EXPECT_EQ(readFor(r, 11, 5000), "still here\n");
}

// Menus cannot be read from another process under Wine; Label1 carries a language text too,
// and the menu captions are checked in process by the console's window test.
TEST_F(Server, WindowTextsFollowTheLanguageAndTheTextFile) {
    struct Case {
        const char* code;  // nullptr: no sLanguage value
        std::string file;  // empty: the shipped Language.dll
        std::string label1;
    } cases[] = {
        {"DEA", "", "Empf\\xE4nger"},
        {"nlb", "", "Ontvangers"},
        {"FRA", "", "Receivers"},
        {nullptr, "", "Receivers"},
        {"DEU ", "", "Receivers"},
        {"DEU", "[DEU]\r\n105=  Liste  \r\n[ENG]\r\n105=List\r\n", "Liste"},
        {"ENU", "[DEU]\r\n105=Liste\r\n", ""},  // no fallback to another section
        {"ENU", "[ENG]\r\n105=?\r\n", ""},      // one character reads as empty
    };
    for (const Case& c : cases) {
        auto server = std::make_unique<ServerUnderTest>();
        if (c.code) server->setLanguage(c.code);
        if (!c.file.empty()) server->writeFile("Language.dll", c.file);
        ASSERT_TRUE(server->start());
        EXPECT_EQ(server->dump()["label1"], c.label1) << (c.code ? c.code : "(none)") << c.file;
        server->stop();
    }
}

TEST_F(Server, ThreeLinesReachTwoReceiversInOrderAtThePace) {
    startOn(4130, 200);
    int r1 = receiver(4130), r2 = receiver(4130);
    waitReceivers(2);
    int snd = keep(connectTo(4130));
    auto t0 = std::chrono::steady_clock::now();
    sendAll(snd, "one\ntwo\r\n\nthree");  // "three" has no line end yet
    const std::string want = "one\ntwo\r\n\n";
    EXPECT_EQ(readFor(r1, want.size(), 5000), want);
    auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(readFor(r2, want.size(), 5000), want);
    // Three lines leave one per tick: at least two full intervals pass.
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 350);
    sendAll(snd, "\n");
    EXPECT_EQ(readFor(r1, 6, 5000), "three\n");
    auto d = s().dump();
    EXPECT_EQ(d["label3"], "Send to: 1");
    EXPECT_EQ(d["list3.0"], "127.0.0.1-0|0");
    EXPECT_EQ(d["list3.1"], "127.0.0.1-1|1");
}

TEST_F(Server, EveryByteValuePassesUnchanged) {
    startOn(4135);
    int r = receiver(4135);
    waitReceivers(1);
    std::string line;
    for (int b = 0; b < 256; ++b)
        if (b != '\n') line += static_cast<char>(b);
    int snd = keep(connectTo(4135));
    sendAll(snd, line + "\n");
    EXPECT_EQ(readFor(r, line.size() + 1, 5000), line + "\n");
}

TEST_F(Server, LineWithoutReceiversIsConsumedUnsent) {
    startOn(4140);
    int snd = keep(connectTo(4140));
    sendAll(snd, "lost\n");
    s().waitFor([](auto& m) { return m["list2.count"] == "1"; }, 3000);
    auto d = s().waitFor([](auto& m) { return m["list2.count"] == "0"; }, 3000);
    ASSERT_EQ(d["list2.count"], "0");
    int r = receiver(4140);
    waitReceivers(1);
    sendAll(snd, "kept\n");
    EXPECT_EQ(readFor(r, 100, 2000), "kept\n");
}

TEST_F(Server, ThirtyTwoSendersAreAllListed) {
    startOn(4150);
    for (int i = 0; i < 32; ++i) keep(connectTo(4150));
    auto d = s().waitFor([](auto& m) { return m["list1.count"] == "32"; });
    EXPECT_EQ(d["list1.count"], "32");
    EXPECT_EQ(d["list1.31"], "127.0.0.1-31|31");
    int r = receiver(4150);
    waitReceivers(1);
    sendAll(fds_[31], "from the last\n");
    EXPECT_EQ(readFor(r, 14, 5000), "from the last\n");
}

TEST_F(Server, ThirtySecondReceiverIsClosedAndNeverListed) {
    startOn(4160);
    std::vector<int> rs;
    for (int i = 0; i < 31; ++i) rs.push_back(receiver(4160));
    waitReceivers(31);
    int extra = receiver(4160);
    EXPECT_TRUE(closedWithin(extra, 3000));
    EXPECT_EQ(s().dump()["list3.count"], "31");
    int snd = keep(connectTo(4160));
    sendAll(snd, "all\n");
    for (int fd : rs) EXPECT_EQ(readFor(fd, 4, 5000), "all\n");
}

TEST_F(Server, ReceiverThatNeverReadsDoesNotHoldUpTheOthers) {
    startOn(4170, 50);
    keep(connectTo(4171, 3000, 4096));  // never reads, with a small window
    int fast = receiver(4170);
    waitReceivers(2);
    int snd = keep(connectTo(4170));
    const std::string body(60000, 'x');
    std::string expected;
    for (int i = 0; i < 160; ++i) {
        std::string line = std::to_string(i) + ":" + body;
        sendAll(snd, line + "\n");
        expected += line + "\n";
    }
    EXPECT_EQ(readFor(fast, expected.size(), 30000) == expected, true);
    // The reader that never reads passed the cap: it is closed, with the reason shown.
    auto d = s().waitFor([](auto& m) { return m["list3.count"] == "1"; }, 5000);
    EXPECT_EQ(d["list3.count"], "1");
    EXPECT_EQ(d["list3.0"], "127.0.0.1-1|1");
    EXPECT_NE(d["label2"].find("Error: 10055 "), std::string::npos) << d["label2"];
}

TEST_F(Server, ReceiverThatResetsIsDroppedAndTheOthersGoOn) {
    startOn(4180);
    int a = receiver(4180);
    int b = receiver(4180);
    waitReceivers(2);
    int snd = keep(connectTo(4180));
    sendAll(snd, "first\n");
    EXPECT_EQ(readFor(a, 6, 5000), "first\n");
    resetFd(b);
    fds_.erase(std::find(fds_.begin(), fds_.end(), b));
    waitReceivers(1);
    sendAll(snd, "second\n");
    EXPECT_EQ(readFor(a, 7, 5000), "second\n");
    EXPECT_TRUE(s().running());
}

TEST_F(Server, OverlongLineIsDroppedWholeAndLoggedOnce) {
    startOn(4190);
    int r = receiver(4190);
    waitReceivers(1);
    int snd = keep(connectTo(4190));
    sendAll(snd, std::string(70000, 'y') + "\nafter\n");
    EXPECT_EQ(readFor(r, 6, 5000), "after\n");
    EXPECT_EQ(readFor(r, 1, 500), "");
    EXPECT_EQ(s().readFile("IpError.txt"),
              "Error: 10040 - Line longer than 65536 bytes dropped\r\n");
}

TEST_F(Server, DoubleClicksCloseTheSelectedPeer) {
    startOn(4200);
    int r0 = receiver(4200), r1 = receiver(4200);
    int snd = keep(connectTo(4200));
    waitReceivers(2);
    s().waitFor([](auto& m) { return m["list1.count"] == "1"; });
    s().probe({"dblclick", "113", "1"});
    EXPECT_TRUE(closedWithin(r1, 3000));
    waitReceivers(1);
    s().probe({"dblclick", "111", "0"});
    EXPECT_TRUE(closedWithin(snd, 3000));
    auto d = s().waitFor([](auto& m) { return m["list1.count"] == "0"; });
    EXPECT_EQ(d["list1.count"], "0");
    EXPECT_FALSE(closedWithin(r0, 300));
}

TEST_F(Server, ShutdownClosesSendersAndEndsTheProcess) {
    startOn(4210);
    int snd = keep(connectTo(4210));
    s().waitFor([](auto& m) { return m["list1.count"] == "1"; });
    s().stop();
    EXPECT_TRUE(closedWithin(snd, 3000));
    EXPECT_EQ(s().exitCode(), 0);
    EXPECT_FALSE(isListening(4210));
}

}  // namespace
}  // namespace korrin::blackbox
