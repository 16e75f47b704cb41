// The spool's promise against the running program: killed at random moments during a burst,
// it sends every line it read after the restart, in order, with at most one line twice per
// kill.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "tests/server/server_harness.h"

namespace korrin::blackbox {
namespace {

constexpr int kPort = 4870, kStatusPort = 4872, kRounds = 20, kBurst = 40;

// A receiver that connects again at once whenever the relay went away, so that it is there
// before the first send step of each start.
class Receiver {
  public:
    explicit Receiver(int port) : thread_([this, port] { run(port); }) {}
    ~Receiver() {
        stop_ = true;
        thread_.join();
    }
    std::string text() {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }

  private:
    void run(int port) {
        while (!stop_) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a = {};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                close(fd);
                usleep(1000);
                continue;
            }
            timeval t = {0, 100000};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
            char buf[4096];
            for (;;) {
                const ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n > 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    text_.append(buf, static_cast<size_t>(n));
                } else if (n == 0 || errno != EAGAIN || stop_) {
                    break;
                }
            }
            close(fd);
        }
    }
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string text_;
    std::thread thread_;
};

// Every line received, with each line that came again right after itself taken out once.
struct Received {
    std::vector<std::pair<int, int>> lines;  // round, number
    int repeats = 0;
};
Received parse(const std::string& text) {
    Received r;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        int round = -1, number = -1;
        sscanf(line.c_str(), "round %d line %d", &round, &number);
        if (!r.lines.empty() && r.lines.back() == std::make_pair(round, number)) {
            ++r.repeats;
            continue;
        }
        r.lines.emplace_back(round, number);
    }
    return r;
}

class Spool : public ::testing::TestWithParam<Program> {};

TEST_P(Spool, KilledDuringABurstItSendsEveryLineItReadInOrder) {
    // The Windows program's crash case is the service's, below.
    if (GetParam() == Program::Windows) GTEST_SKIP() << "see SpoolService";
    ServerUnderTest s(GetParam());
    s.setSetting("Port", std::to_string(kPort));
    s.setSetting("StatusPort", std::to_string(kStatusPort));
    s.setSetting("Timer", "50");
    s.setSetting("Spool", s.dir() + "/spool");
    const unsigned seed = static_cast<unsigned>(time(nullptr));
    std::mt19937 rnd(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    Receiver receiver(kPort + 1);
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_TRUE(s.start()) << "round " << round;
        const int fd = connectTo(kPort);
        ASSERT_GE(fd, 0);
        // Every other round the kill comes once the whole burst was read: all of it must come.
        const bool wholeBurst = round % 2 == 1;
        const int killAt = wholeBurst ? kBurst : static_cast<int>(rnd() % (kBurst + 1));
        for (int n = 0; n < kBurst; ++n) {
            if (n == killAt) kill(s.pid(), SIGKILL);
            sendAll(fd, "round " + std::to_string(round) + " line " + std::to_string(n) + "\n");
            if (n % 4 == 3) usleep(static_cast<useconds_t>(rnd() % 3000));
        }
        // Asked without a pause, so the kill comes within a few ms of the last read.
        for (int ask = 0; wholeBurst && ask < 2000; ++ask)
            if (s.dump()["lines_in"] == std::to_string(kBurst)) break;
        if (killAt == kBurst) kill(s.pid(), SIGKILL);
        for (int i = 0; i < 200 && s.running(); ++i) usleep(10000);
        closeFd(fd);
    }
    ASSERT_TRUE(s.start());
    // Drained: nothing new for two seconds (the pace is 20 lines a second).
    for (size_t before = 0;;) {
        sleep(2);
        const size_t now = receiver.text().size();
        if (now == before) break;
        before = now;
    }
    s.stop();
    const Received got = parse(receiver.text());
    EXPECT_LE(got.repeats, kRounds);
    // Each round's lines: the first ones of its burst, all of them, in order, rounds in turn.
    int round = -1, next = 0, total = 0;
    const auto roundDone = [&] {
        if (round % 2 == 1) {
            EXPECT_EQ(next, kBurst) << "round " << round << " was read whole";
        }
    };
    for (const auto& [r, n] : got.lines) {
        if (r != round) {
            ASSERT_GT(r, round) << "round " << r << " after round " << round;
            roundDone();
            round = r;
            next = 0;
        }
        ASSERT_EQ(n, next) << "round " << r << ": line " << n << " where " << next << " was due";
        ++next;
        ++total;
    }
    roundDone();
    EXPECT_EQ(round, kRounds - 1);
    // Most of each burst was read before its kill.
    EXPECT_GT(total, kRounds * kBurst / 4);
    EXPECT_EQ(s.readFile("IpError.txt").find("Error: 22"), std::string::npos);
}

// The service, killed as an administrator would (taskkill /F) while it holds a queue, sends it
// all once started again. Its copy has an image name of its own, so that the window that keeps
// the Wine session alive survives the kill.
TEST(SpoolService, KilledByTaskkillItSendsItsQueueAfterTheRestart) {
    KORRIN_NEED_WINDOWS_BUILD();
    const std::string key = "HKLM\\Software\\Oxa Software\\VarnelServer";
    const std::string spool =
        std::string(getenv("WINEPREFIX")) + "/drive_c/ProgramData/Oxa Software/Korrin Server/Spool";
    ServerUnderTest window;
    window.setSetting("Port", "4890");
    ASSERT_TRUE(window.start());
    const std::string service = window.dir() + "/KorrinService.exe";
    run({"cp", window.dir() + "/KorrinServer.exe", service});
    run({"rm", "-rf", spool});
    run({wineLoader(), "reg", "delete", key, "/f"});
    for (const auto& [name, value] : {std::pair{"Port", "4880"}, std::pair{"Timer", "50"}})
        ASSERT_EQ(run({wineLoader(), "reg", "add", key, "/v", name, "/d", value, "/f"}), 0);
    ASSERT_EQ(run({wineLoader(), service, "/install"}), 0);
    ASSERT_TRUE(listensWithin(4880, 10000) && listensWithin(4881, 5000));
    Receiver receiver(4881);
    usleep(300 * 1000);
    const int sender = connectTo(4880);
    constexpr int kLines = 300;
    for (int n = 0; n < kLines; ++n) sendAll(sender, "round 0 line " + std::to_string(n) + "\n");
    usleep(1500 * 1000);  // read whole; some 30 lines sent
    EXPECT_EQ(run({wineLoader(), "taskkill", "/F", "/IM", "KorrinService.exe"}), 0);
    EXPECT_TRUE(closesWithin(4880, 5000));
    closeFd(sender);
    ASSERT_EQ(run({wineLoader(), "net", "start", "KorrinServer"}), 0);
    for (size_t before = 0;;) {
        sleep(2);
        const size_t now = receiver.text().size();
        if (now == before) break;
        before = now;
    }
    run({wineLoader(), service, "/uninstall"});
    run({wineLoader(), "reg", "delete", key, "/f"});
    run({"rm", "-rf", spool});
    const Received got = parse(receiver.text());
    EXPECT_LE(got.repeats, 1);
    ASSERT_EQ(got.lines.size(), static_cast<size_t>(kLines));
    for (int n = 0; n < kLines; ++n) ASSERT_EQ(got.lines[n].second, n);
}

// A new receiver gets the last lines sent, one that comes back what it missed; then both get
// the live lines.
TEST_P(Spool, ReplayAndResumeGiveReceiversTheLinesTheyMissed) {
    if (GetParam() == Program::Windows) KORRIN_NEED_WINDOWS_BUILD();
    ServerUnderTest s(GetParam());
    for (const auto& [name, value] :
         {std::pair{"Port", "4894"}, std::pair{"Timer", "50"}, std::pair{"ReplayLines", "3"},
          std::pair{"ResumeSeconds", "60"}})
        s.setSetting(name, value);
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(listensWithin(4895, 5000));
    const int live = connectTo(4895);
    usleep(300 * 1000);
    const int sender = connectTo(4894);
    sendAll(sender, "a1\na2\na3\na4\na5\n");
    EXPECT_EQ(readFor(live, 15, 5000), "a1\na2\na3\na4\na5\n");
    int late = connectTo(4895);
    EXPECT_EQ(readFor(late, 9, 3000), "a3\na4\na5\n");
    closeFd(late);
    usleep(300 * 1000);
    sendAll(sender, "b1\nb2\n");
    EXPECT_EQ(readFor(live, 6, 3000), "b1\nb2\n");
    late = connectTo(4895);
    EXPECT_EQ(readFor(late, 6, 3000), "b1\nb2\n");
    sendAll(sender, "c1\n");
    EXPECT_EQ(readFor(late, 3, 3000), "c1\n");
    EXPECT_EQ(readFor(live, 3, 3000), "c1\n");
    for (int fd : {live, late, sender}) closeFd(fd);
    s.stop();
}

// A file size limit (ulimit -f, LimitFSIZE=) is a full disk to the spool: korrin-relay keeps
// running and pauses reading, it is not ended by SIGXFSZ; killed in that state and started
// again, it sends on in order with at most one line twice.
TEST(SpoolLimits, AFileSizeLimitPausesKorrinRelayInsteadOfEndingIt) {
    ServerUnderTest s(Program::Linux);
    s.setSetting("Port", "4896");
    s.setSetting("StatusPort", "4898");
    s.setSetting("Timer", "50");
    s.setSetting("Spool", s.dir() + "/spool");
    Receiver receiver(4897);
    // The child inherits the limit and the signal's default action from this process.
    signal(SIGXFSZ, SIG_DFL);
    rlimit old = {};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit low = old;
    low.rlim_cur = 256 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
    const bool started = s.start();
    setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_TRUE(started);
    const int sender = connectTo(4896);
    const std::string pad(1000, 'x');
    for (int n = 0; n < 400; ++n)
        sendAll(sender, "round 0 line " + std::to_string(n) + " " + pad + "\n");
    const auto spoolFailed = [](const auto& m) {
        return m.count("spool_error") &&
               m.at("spool_error").find("File too large") != std::string::npos;
    };
    const auto d = s.waitFor(spoolFailed, 5000);
    EXPECT_TRUE(s.running());
    EXPECT_TRUE(spoolFailed(d)) << "no write failed: the limit was not reached";
    closeFd(sender);
    kill(s.pid(), SIGKILL);
    for (int i = 0; i < 200 && s.running(); ++i) usleep(10000);
    ASSERT_TRUE(s.start());
    for (size_t before = 0;;) {  // drained: nothing new for two seconds
        sleep(2);
        const size_t now = receiver.text().size();
        if (now == before) break;
        before = now;
    }
    const Received got = parse(receiver.text());
    EXPECT_LE(got.repeats, 1);
    ASSERT_FALSE(got.lines.empty());
    for (size_t i = 1; i < got.lines.size(); ++i)
        ASSERT_LT(got.lines[i - 1].second, got.lines[i].second) << "out of order at " << i;
    s.stop();
}

INSTANTIATE_TEST_SUITE_P(Programs, Spool, ::testing::Values(Program::Windows, Program::Linux),
                         [](const auto& p) { return std::string(programName(p.param)); });

}  // namespace
}  // namespace korrin::blackbox
