// Black-box tests of KorrinServer.exe under Wine: Linux peers on 127.0.0.1, the window read
// and driven from outside.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "tests/server/server_harness.h"

namespace korrin::blackbox {
namespace {

class Server : public ::testing::Test {
  protected:
    void SetUp() override {
        KORRIN_NEED_WINDOWS_BUILD();
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

// The relay's scenarios that need no window, against the Windows program and korrin-relay.
class RelayScenario : public Server, public ::testing::WithParamInterface<Program> {
  protected:
    void SetUp() override {
        if (GetParam() == Program::Windows) return Server::SetUp();
        if (access(relayBinary().c_str(), X_OK) != 0) GTEST_SKIP() << "no korrin-relay built";
        server_ = std::make_unique<ServerUnderTest>(Program::Linux);
    }
    bool windows() const { return GetParam() == Program::Windows; }
    // A new Port as the operator gives it: Setup in the window, the file and SIGHUP for the daemon.
    void movePort(int port) {
        if (windows()) {
            s().probe({"command", "201"});
            s().probe({"input", std::to_string(port)});
        } else {
            s().setSetting("Port", std::to_string(port));
            s().reload();
        }
    }
};
INSTANTIATE_TEST_SUITE_P(Programs, RelayScenario,
                         ::testing::Values(Program::Windows, Program::Linux),
                         [](const auto& p) { return std::string(programName(p.param)); });

// korrin-relay's own: SIGHUP re-reads the file and moves the listeners; receivers stay.
TEST(LinuxRelay, SighupMovesTheListenersDropsSendersKeepsReceivers) {
    if (access(relayBinary().c_str(), X_OK) != 0) GTEST_SKIP() << "no korrin-relay built";
    ServerUnderTest s(Program::Linux);
    s.setSetting("Port", "4290");
    s.setSetting("Timer", "50");
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(listensWithin(4291, 5000));
    const int r = connectTo(4291), snd = connectTo(4290);
    s.waitFor([](auto& m) { return m["list3.count"] == "1" && m["list1.count"] == "1"; });
    s.setSetting("Port", "4292");
    s.reload();
    EXPECT_TRUE(closedWithin(snd, 3000));
    EXPECT_TRUE(listensWithin(4292, 3000) && listensWithin(4293, 3000));
    EXPECT_TRUE(closesWithin(4290, 3000));
    const int snd2 = connectTo(4292);
    sendAll(snd2, "moved\n");
    EXPECT_EQ(readFor(r, 6, 5000), "moved\n");
    s.stop();
    EXPECT_EQ(s.exitCode(), 0);
    for (int fd : {r, snd, snd2}) closeFd(fd);
}

// korrin-relay under an open-file limit far below its connection bounds: the senders beyond
// what fits cost no CPU, and the status port still answers.
TEST(LinuxRelay, UnderASmallOpenFileLimitItIdlesAndItsStatusPortAnswers) {
    const std::string relay = relayBinary();
    if (access(relay.c_str(), X_OK) != 0) GTEST_SKIP() << "no korrin-relay built";
    char dir[] = "/tmp/korrin-nofile-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string wrapper = std::string(dir) + "/korrin-relay";
    std::ofstream(wrapper) << "#!/bin/sh\nexec prlimit --nofile=64:64 -- '" << relay
                           << "' \"$@\"\n";
    chmod(wrapper.c_str(), 0755);
    setenv("KORRIN_RELAY_BIN", wrapper.c_str(), 1);
    ServerUnderTest s(Program::Linux);
    s.setSetting("Port", "4294");
    const bool started = s.start();
    unsetenv("KORRIN_RELAY_BIN");
    ASSERT_TRUE(started && listensWithin(4294, 5000));
    std::vector<int> senders;
    for (int i = 0; i < 80; ++i) senders.push_back(connectTo(4294));
    usleep(500 * 1000);
    // Clock ticks of user and system time, from /proc/PID/stat.
    const auto cpuTicks = [&] {
        std::ifstream f("/proc/" + std::to_string(s.pid()) + "/stat");
        std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        std::istringstream rest(text.substr(text.rfind(')') + 2));
        std::string field;
        long ticks = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i)
            if (i >= 14) ticks += std::stol(field);
        return ticks;
    };
    const long before = cpuTicks();
    usleep(2000 * 1000);
    EXPECT_LT(cpuTicks() - before, 20);  // under a tenth of a core, where a spin takes all of it
    const int status = connectTo(4799);
    sendAll(status, "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(readFor(status, 15, 3000).substr(0, 15), "HTTP/1.1 200 OK");
    closeFd(status);
    for (int fd : senders) closeFd(fd);
    s.stop();
    unlink(wrapper.c_str());
    rmdir(dir);
}

// A Bind address this computer does not have (TEST-NET addresses no host has) is skipped: the
// ports listen on the rest, and the log and status.json name it. With none left they stay
// closed.
TEST(LinuxRelay, BindSkipsAddressesThisComputerDoesNotHave) {
    if (access(relayBinary().c_str(), X_OK) != 0) GTEST_SKIP() << "no korrin-relay built";
    const struct {
        const char* bind;
        int port;
        bool listens;
        const char* notBound;
    } cases[] = {
        {"192.0.2.1, 127.0.0.1, 2001:db8::1", 4296, true, R"(["192.0.2.1","2001:db8::1"])"},
        {"192.0.2.1, 2001:db8::1", 4298, false, "[]"},
    };
    for (const auto& c : cases) {
        ServerUnderTest s(Program::Linux);
        s.setSetting("Port", std::to_string(c.port));
        s.setSetting("Bind", c.bind);
        ASSERT_TRUE(s.start());
        auto d = s.waitFor([](auto& m) { return !m["input_not_bound"].empty(); });
        EXPECT_EQ(isListening(c.port), c.listens) << c.bind;
        EXPECT_EQ(isListening(c.port + 1), c.listens) << c.bind;
        EXPECT_EQ(d["input_not_bound"], c.notBound);
        EXPECT_EQ(d["output_not_bound"], c.notBound);
        const std::string log = s.readFile("IpError.txt");
        EXPECT_EQ(log.find("Bind: 192.0.2.1 cannot be listened on here") != std::string::npos,
                  c.listens)
            << log;
        if (c.listens) {
            const int sender = connectTo(c.port), receiver = connectTo(c.port + 1);
            s.waitFor([](auto& m) { return m["list3.count"] == "1" && m["list1.count"] == "1"; });
            sendAll(sender, "here\n");
            EXPECT_EQ(readFor(receiver, 5, 5000), "here\n");
            for (int fd : {sender, receiver}) closeFd(fd);
        }
        s.stop();
    }
}

TEST_F(Server, DefaultsListenOn3001And3002) {
    ASSERT_FALSE(isListening(3001) || isListening(3002)) << "another program holds 3001 or 3002";
    ASSERT_TRUE(s().start());
    EXPECT_TRUE(listening(3001));
    EXPECT_TRUE(listening(3002));
    auto d = s().waitFor([](auto& m) { return !m["status2"].empty(); });
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
    auto d = s().waitFor([](auto& m) { return !m["status2"].empty(); });
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

TEST_P(RelayScenario, ThreeLinesReachTwoReceiversInOrderAtThePace) {
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
    if (windows()) {
        EXPECT_EQ(d["label3"], "Send to: 1");
    }
    EXPECT_EQ(d["list3.0"], "127.0.0.1-0|0");
    EXPECT_EQ(d["list3.1"], "127.0.0.1-1|1");
}

TEST_P(RelayScenario, EveryByteValuePassesUnchanged) {
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

TEST_P(RelayScenario, LineWithoutReceiversIsConsumedUnsent) {
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

TEST_P(RelayScenario, ThirtyTwoSendersAreAllListed) {
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

TEST_P(RelayScenario, APortChangeClosesEverySenderNotOnlyTheRecordedOnes) {
    startOn(4300);
    for (int i = 0; i < 40; ++i) keep(connectTo(4300));
    s().waitFor([](auto& m) { return m["list1.count"] == "40"; });
    movePort(4302);
    ASSERT_TRUE(listening(4302));
    for (int i = 0; i < 40; ++i) EXPECT_TRUE(closedWithin(fds_[i], 3000)) << "sender " << i;
}

TEST_P(RelayScenario, ANarrowedBindClosesReceiversThatCameInElsewhere) {
    startOn(4310);
    const int kept = keep(connectVia("", "127.0.0.1", 4311));
    const int elsewhere = keep(connectVia("", "127.0.0.2", 4311));
    waitReceivers(2);
    s().setSetting("Bind", "127.0.0.1");
    movePort(4312);
    EXPECT_TRUE(closedWithin(elsewhere, 3000));
    ASSERT_TRUE(listening(4312));
    sendAll(keep(connectTo(4312)), "narrowed\n");
    EXPECT_EQ(readFor(kept, 9, 5000), "narrowed\n");
}

TEST_P(RelayScenario, ThirtySecondReceiverIsClosedAndNeverListed) {
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

TEST_P(RelayScenario, ReceiverThatNeverReadsDoesNotHoldUpTheOthers) {
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
    EXPECT_NE(d["label2"].find("Error: " + std::to_string(s().code(10055)) + " "),
              std::string::npos)
        << d["label2"];
}

TEST_P(RelayScenario, ReceiverThatResetsIsDroppedAndTheOthersGoOn) {
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

TEST_P(RelayScenario, OverlongLineIsDroppedWholeAndLoggedOnce) {
    startOn(4190);
    int r = receiver(4190);
    waitReceivers(1);
    int snd = keep(connectTo(4190));
    sendAll(snd, std::string(70000, 'y') + "\nafter\n");
    EXPECT_EQ(readFor(r, 6, 5000), "after\n");
    EXPECT_EQ(readFor(r, 1, 500), "");
    EXPECT_EQ(s().readFile("IpError.txt"), "Error: " + std::to_string(s().code(10040)) +
                                               " - Line longer than 65536 bytes dropped\r\n");
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

TEST_F(Server, ReceiverListKeepsItsPlaceWhenOthersComeAndGo) {
    startOn(4210);
    std::vector<int> rs;
    for (int i = 0; i < 30; ++i) rs.push_back(receiver(4210));
    waitReceivers(30);
    s().probe({"settop", "113", "10"});
    s().probe({"select", "113", "12"});
    struct Step {
        const char* what;
        int closeIndex;  // -1: a new receiver joins instead
        int count, top, sel;
    } steps[] = {
        {"one above the visible part leaves", 2, 29, 9, 11},
        {"one below it leaves", 29, 28, 9, 11},
        {"one joins at the end", -1, 29, 9, 11},
    };
    for (const Step& st : steps) {
        if (st.closeIndex >= 0)
            closeFd(std::exchange(fds_[st.closeIndex], -1));
        else
            receiver(4210);
        auto d = s().waitFor([&](auto& m) { return m["list3.count"] == std::to_string(st.count); });
        EXPECT_EQ(d["list3.count"], std::to_string(st.count)) << st.what;
        EXPECT_EQ(d["list3.top"], std::to_string(st.top)) << st.what;
        EXPECT_EQ(d["list3." + std::to_string(st.top)], "127.0.0.1-10|10") << st.what;
        EXPECT_EQ(d["list3.sel"], std::to_string(st.sel)) << st.what;
        EXPECT_EQ(d["list3." + std::to_string(st.sel)], "127.0.0.1-12|12") << st.what;
    }
    EXPECT_EQ(s().dump()["list3.28"], "127.0.0.1-2|2");  // the newcomer took the free id 2
}

TEST_P(RelayScenario, BindListensOnlyWhereItSays) {
    s().setSetting("Bind", " 127.0.0.1 ");
    startOn(4220);
    for (int port : {4220, 4221})
        EXPECT_EQ(listenAddresses(port), std::vector<std::string>{"127.0.0.1"}) << port;
    if (windows()) {
        EXPECT_EQ(s().waitFor([](auto& m) { return !m["status1"].empty(); })["status1"],
                  "127.0.0.1");
    }
}

TEST_P(RelayScenario, Ipv6ReceiverIsServedBesideAnIpv4One) {
    startOn(4230);
    const int r4 = receiver(4230);
    const int r6 = keep(connectVia("", "::1", 4231));
    ASSERT_GE(r6, 0);
    waitReceivers(2);
    EXPECT_EQ(s().dump()["list3.1"], "::1-1|1");
    sendAll(keep(connectVia("", "::1", 4230)), "both\n");
    EXPECT_EQ(readFor(r4, 5, 5000), "both\n");
    EXPECT_EQ(readFor(r6, 5, 5000), "both\n");
}

TEST_P(RelayScenario, AllowListsTurnOthersAwayOnEachPortAndLogThem) {
    s().setSetting("AllowSenders", "127.0.0.2");
    s().setSetting("AllowReceivers", "10.0.0.0/8, 127.0.0.2/32");
    startOn(4240);
    for (int port : {4241, 4240}) {
        const int refused = keep(connectTo(port));
        sendAll(refused, "never queued\n");
        EXPECT_TRUE(closedWithin(refused, 3000)) << port;
    }
    const int r = keep(connectVia("127.0.0.2", "127.0.0.1", 4241));
    waitReceivers(1);
    sendAll(keep(connectVia("127.0.0.2", "127.0.0.1", 4240)), "allowed\n");
    EXPECT_EQ(readFor(r, 8, 5000), "allowed\n");
    auto d = s().dump();
    EXPECT_EQ(d["list3.0"], "127.0.0.2-0|0");
    EXPECT_EQ(d["list1.count"], "1");
    EXPECT_EQ(d["list1.0"], "127.0.0.2-0|0");
    const std::string refused = "Error: " + std::to_string(s().code(10013)) + " - Connection from ";
    EXPECT_EQ(s().readFile("IpError.txt"), refused + "127.0.0.1 to port 4241 refused\r\n" +
                                               refused + "127.0.0.1 to port 4240 refused\r\n");
}

TEST_F(Server, BadAllowEntryKeepsItsPortClosed) {
    s().setSetting("Port", "4250");
    s().setSetting("AllowReceivers", "127.0.0.1, host.example");
    ASSERT_TRUE(s().start());
    EXPECT_NE(s().probe({"msgbox", "ok"}).find("Error setting Portaddress"), std::string::npos);
    EXPECT_TRUE(listening(4250));
    EXPECT_FALSE(isListening(4251));
    EXPECT_NE(s().readFile("IpError.txt").find("AllowReceivers: \"host.example\""),
              std::string::npos);
}

// A list value of another registry type than REG_SZ, as regedit or reg add make it.
void typedSetting(const std::string& name, const std::string& type, const std::string& data) {
    ASSERT_EQ(run({wineLoader(), "reg", "add", "HKCU\\Software\\Oxa Software\\VarnelServer", "/v",
                   name, "/t", type, "/d", data, "/f"}),
              0);
}

TEST_F(Server, ListsOfOtherTypesAreReadOrKeepTheirPortClosed) {
    s().setSetting("Port", "4260");
    typedSetting("Bind", "REG_EXPAND_SZ", "127.0.0.1");
    typedSetting("AllowReceivers", "REG_DWORD", "1");
    ASSERT_TRUE(s().start());
    EXPECT_NE(s().probe({"msgbox", "ok"}).find("Error setting Portaddress"), std::string::npos);
    EXPECT_TRUE(listening(4260));
    EXPECT_EQ(listenAddresses(4260), std::vector<std::string>{"127.0.0.1"});
    EXPECT_FALSE(isListening(4261));
    EXPECT_NE(s().readFile("IpError.txt").find("AllowReceivers: a REG_DWORD value is no list"),
              std::string::npos);
}

TEST_F(Server, APortOfAnotherTypeKeepsBothPortsClosedAndIsLogged) {
    typedSetting("Port", "REG_DWORD", "4320");
    ASSERT_TRUE(s().start());
    EXPECT_NE(s().probe({"msgbox", "ok"}).find("Error setting Portaddress"), std::string::npos);
    for (int port : {3001, 3002, 4320, 4321}) EXPECT_FALSE(isListening(port)) << port;
    EXPECT_NE(s().readFile("IpError.txt").find("Port: \"(a REG_DWORD value, not REG_SZ)\""),
              std::string::npos);
}

TEST(ServerRestart, NarrowedRulesCloseWhatTheyRefuseAndLeaveNoPortOpenUnderOldOnes) {
    KORRIN_NEED_WINDOWS_BUILD();
    ServerUnderTest s;
    s.setSetting("Port", "4270");
    s.setSetting("Timer", "100");
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(listensWithin(4271, 5000));
    const int r1 = connectVia("127.0.0.1", "127.0.0.1", 4271);
    const int r2 = connectVia("127.0.0.2", "127.0.0.1", 4271);
    s.waitFor([](auto& m) { return m["list3.count"] == "2"; });
    typedSetting("AllowReceivers", "REG_MULTI_SZ", "10.9.9.9\\0127.0.0.2");
    s.probe({"command", "201"});
    s.probe({"input", "4272"});
    EXPECT_TRUE(closedWithin(r1, 3000)) << "the receiver the new list refuses";
    EXPECT_TRUE(listensWithin(4273, 5000));
    sendAll(connectTo(4272), "narrowed\n");
    EXPECT_EQ(readFor(r2, 9, 5000), "narrowed\n");
    // Input port refused with a narrowed Bind: the output port closes too.
    s.setSetting("Bind", "127.0.0.2");
    s.setSetting("AllowSenders", "10.0.0.0/33");
    s.probe({"command", "201"});
    s.probe({"input", "4274"});
    EXPECT_NE(s.probe({"msgbox", "ok"}).find("Error setting Portaddress"), std::string::npos);
    for (int port : {4272, 4273, 4274, 4275}) EXPECT_TRUE(closesWithin(port, 3000)) << port;
    for (int fd : {r1, r2}) closeFd(fd);
}

TEST_P(RelayScenario, ShutdownClosesSendersAndEndsTheProcess) {
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

namespace korrin::blackbox {
namespace {

// Operator commands of the menu and the test-mode button, as ids of the window.
constexpr const char* kSetup = "201";
constexpr const char* kEnd = "203";
constexpr const char* kAbout = "211";
constexpr const char* kCommand2 = "121";

class Console : public Server {};

TEST_F(Console, SetupWithTheSamePortStoresItAgainAndRestartsNothing) {
    startOn(4220);
    int snd = keep(connectTo(4220));
    s().waitFor([](auto& m) { return m["list1.count"] == "1"; });
    s().probe({"command", kSetup});
    std::string box = s().probe({"input", "4220"});
    EXPECT_NE(box.find("title=Korrin Server"), std::string::npos) << box;
    EXPECT_NE(box.find("prompt=Please enter the port number:"), std::string::npos) << box;
    EXPECT_NE(box.find("preset=4220"), std::string::npos) << box;
    EXPECT_FALSE(closedWithin(snd, 1000));  // no restart: the sender stays
    EXPECT_EQ(s().setting("Port"), "4220");
}

TEST_F(Console, SetupWithANewPortMovesTheListenersDropsSendersKeepsReceivers) {
    startOn(4230);
    int r = receiver(4230);
    int snd = keep(connectTo(4230));
    waitReceivers(1);
    s().waitFor([](auto& m) { return m["list1.count"] == "1"; });
    s().probe({"command", kSetup});
    s().probe({"input", "4240"});
    EXPECT_TRUE(closedWithin(snd, 3000));
    EXPECT_TRUE(listening(4240));
    EXPECT_TRUE(listening(4241));
    EXPECT_FALSE(isListening(4230));
    auto d = s().waitFor([](auto& m) { return m["status2"] == "4240"; });
    EXPECT_EQ(d["status2"], "4240");
    EXPECT_EQ(d["list3.count"], "1");
    EXPECT_EQ(s().setting("Port"), "4240");
    int snd2 = keep(connectTo(4240));
    sendAll(snd2, "moved\n");
    EXPECT_EQ(readFor(r, 6, 5000), "moved\n");  // the receiver of the old port still gets lines
}

TEST_F(Console, CancelledOrEmptySetupWritesNothing) {
    for (const char* answer : {"--cancel", ""}) {
        ServerUnderTest server;
        ASSERT_TRUE(server.start());
        server.probe({"command", kSetup});
        std::string box = server.probe({"input", answer});
        EXPECT_NE(box.find("preset=3001"), std::string::npos) << box;
        EXPECT_EQ(server.setting("Port"), "<none>") << answer;
        EXPECT_TRUE(isListening(3001));
        server.stop();
    }
}

TEST_F(Console, EndClosesSendersAndEndsTheProcess) {
    startOn(4250);
    int snd = keep(connectTo(4250));
    s().waitFor([](auto& m) { return m["list1.count"] == "1"; });
    s().probe({"command", kEnd});
    EXPECT_TRUE(closedWithin(snd, 5000));
    for (int i = 0; i < 100 && s().running(); ++i) usleep(100000);
    EXPECT_FALSE(s().running());
    EXPECT_EQ(s().exitCode(), 0);
}

TEST_F(Console, AboutBoxShowsNameVersionMakerAndTogglesTheView) {
    startOn(4260);
    auto before = s().dump();
    s().probe({"command", kAbout});
    std::string box = s().probe({"about"});
    EXPECT_NE(box.find("title=Korrin Server"), std::string::npos) << box;
    EXPECT_NE(box.find("|Static|Korrin Server"), std::string::npos) << box;
    EXPECT_NE(box.find("|Static|" KORRIN_VERSION "\n"), std::string::npos) << box;
    EXPECT_NE(box.find(" Oxa Software"), std::string::npos) << box;
    EXPECT_NE(box.find("306|Button|Close"), std::string::npos) << box;
    EXPECT_EQ(before["visible.list2"], "0");
    s().probe({"aboutclick", "301"});  // the picture
    auto expanded = s().waitFor([](auto& m) { return m["visible.list2"] == "1"; });
    EXPECT_EQ(expanded["visible.list2"], "1");
    EXPECT_GT(std::stoi(expanded["window"].substr(expanded["window"].rfind(',') + 1)),
              std::stoi(before["window"].substr(before["window"].rfind(',') + 1)));
    s().probe({"aboutclick", "301"});
    auto compact = s().waitFor([](auto& m) { return m["visible.list2"] == "0"; });
    // Same corner and width; the height of the compact view is 4860 twips.
    const std::string& w = compact["window"];
    EXPECT_EQ(w.substr(0, w.rfind(',')), before["window"].substr(0, before["window"].rfind(',')));
    const int dpi = std::stoi(compact["dpi"].substr(compact["dpi"].find(',') + 1));
    EXPECT_EQ(std::stoi(w.substr(w.rfind(',') + 1)), (4860 * dpi + 720) / 1440);
    // Server events go on while the box is open.
    int r = receiver(4260);
    waitReceivers(1);
    int snd = keep(connectTo(4260));
    sendAll(snd, "during about\n");
    EXPECT_EQ(readFor(r, 13, 5000), "during about\n");
    s().probe({"aboutclick", "306"});  // Command1 closes it
    int rc = 0;
    s().probe({"about"}, &rc);
    EXPECT_NE(rc, 0);
}

TEST_F(Console, TestModeSendsGeneratedLinesAndCountsThem) {
    startOn(4270, 50);
    int r = receiver(4270);
    waitReceivers(1);
    s().probe({"click", kCommand2});
    std::string upper = s().probe({"input", "20"});
    EXPECT_NE(upper.find("prompt=Obergrenze"), std::string::npos) << upper;
    EXPECT_NE(upper.find("preset=111"), std::string::npos) << upper;
    std::string lower = s().probe({"input", "10"});
    EXPECT_NE(lower.find("prompt=unterergrenze"), std::string::npos) << lower;
    EXPECT_NE(lower.find("preset=99"), std::string::npos) << lower;
    std::string got = readFor(r, 200, 3000);
    s().probe({"click", kCommand2});
    std::string box = s().probe({"msgbox", "ok"});
    EXPECT_NE(box.find("title=Korrin Server"), std::string::npos) << box;
    EXPECT_NE(box.find("|Static|test:"), std::string::npos) << box;
    // Every line is SI, a digit 1..6, ";" and a number from 10 to 20.
    size_t lines = 0;
    for (size_t at = 0, end; (end = got.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = got.substr(at, end - at);
        ASSERT_EQ(line.substr(0, 2), "SI") << line;
        int k = line[2] - '0';
        EXPECT_TRUE(k >= 1 && k <= 6) << line;
        ASSERT_EQ(line[3], ';') << line;
        int n = std::stoi(line.substr(4));
        EXPECT_TRUE(n >= 10 && n <= 20) << line;
        ++lines;
    }
    EXPECT_GE(lines, 5u);
}

}  // namespace
}  // namespace korrin::blackbox

// ---- the service ----

namespace korrin::blackbox {
namespace {

constexpr char kMachineKey[] = "HKLM\\Software\\Oxa Software\\VarnelServer";

// The service under Wine's service manager, with a windowed server beside it: the window
// keeps the Wine session (and with it every service) alive, as a logged-on user would.
class Service : public Server {
  protected:
    void SetUp() override {
        Server::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        run({wineLoader(), "reg", "delete", kMachineKey, "/f"});
        std::remove(log().c_str());
    }
    void TearDown() override {
        if (server_) {
            run({wineLoader(), s().dir() + "/KorrinServer.exe", "/uninstall"});
            run({wineLoader(), "reg", "delete", kMachineKey, "/f"});
        }
        Server::TearDown();
    }
    void machineSetting(const std::string& name, const std::string& value) {
        ASSERT_EQ(run({wineLoader(), "reg", "add", kMachineKey, "/v", name, "/d", value, "/f"}), 0);
    }
    // The shell's common application data folder: C:\ProgramData under Wine, although the
    // service's %ProgramData% says C:\users\Public.
    static std::string log() {
        return std::string(getenv("WINEPREFIX")) +
               "/drive_c/ProgramData/Oxa Software/Korrin Server/IpError.txt";
    }
    static std::string slurp(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
};

TEST_F(Service, RelaysRestartsOnParamchangeStopsAndGoes) {
    startOn(4420);
    machineSetting("Port", "4400");
    machineSetting("Timer", "50");
    ASSERT_EQ(run({wineLoader(), s().dir() + "/KorrinServer.exe", "/install"}), 0);
    ASSERT_TRUE(listening(4400) && listening(4401));
    const int r = keep(connectTo(4401));
    usleep(500 * 1000);  // the service has taken the receiver in
    sendAll(keep(connectTo(4400)), "through the service\n");
    EXPECT_EQ(readFor(r, 20, 5000), "through the service\n");

    // The window cannot take the service's ports, and says why.
    s().probe({"command", "201"});
    s().probe({"input", "4400"});
    const std::string box = s().probe({"msgbox", "ok"});
    EXPECT_NE(box.find("runs as a Windows service"), std::string::npos) << box;

    machineSetting("Port", "4410");
    EXPECT_EQ(s().probe({"paramchange"}).size(), 0u);
    EXPECT_TRUE(listening(4410) && listening(4411));
    EXPECT_TRUE(closesWithin(4400, 5000));

    ASSERT_EQ(run({wineLoader(), "net", "stop", "KorrinServer"}), 0);
    EXPECT_TRUE(closesWithin(4410, 5000) && closesWithin(4411, 1000));
    EXPECT_TRUE(closedWithin(r, 3000)) << "the service process is still there";
    EXPECT_EQ(run({wineLoader(), s().dir() + "/KorrinServer.exe", "/uninstall"}), 0);
    EXPECT_NE(run({wineLoader(), "sc", "query", "KorrinServer"}), 0) << "still installed";
    EXPECT_EQ(slurp(log()), "");  // nothing went wrong
}

TEST_F(Service, PortHeldAtStartIsLoggedAndTakenWhenFree) {
    startOn(4420);
    int blocker = occupyPort(4431);
    ASSERT_GE(blocker, 0);
    machineSetting("Port", "4430");
    ASSERT_EQ(run({wineLoader(), s().dir() + "/KorrinServer.exe", "/install"}), 0);
    EXPECT_TRUE(listening(4430));
    const int snd = keep(connectTo(4430));
    for (int t = 0; t < 5000 && slurp(log()).empty(); t += 100) usleep(100 * 1000);
    EXPECT_EQ(slurp(log()), "Error: 10048 - Error setting Portaddress\r\n");
    // The retry takes the port and leaves the input port's sender connected.
    closeFd(blocker);
    EXPECT_TRUE(listensWithin(4431, 40000)) << "no retry within 30 s";
    // The line follows the listen that the connect above may see first.
    for (int t = 0; t < 5000 && slurp(log()).find("again") == std::string::npos; t += 100)
        usleep(100 * 1000);
    EXPECT_EQ(slurp(log()),
              "Error: 10048 - Error setting Portaddress\r\nError: 0 - Ports open again\r\n");
    const int r = keep(connectTo(4431));
    usleep(500 * 1000);
    sendAll(snd, "kept\n");
    EXPECT_EQ(readFor(r, 5, 5000), "kept\n");
}

}  // namespace
}  // namespace korrin::blackbox
