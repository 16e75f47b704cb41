// Soak and fault test of KorrinServer.exe under Wine: 31 receivers that read fast, slowly,
// never, or reset; senders that flood numbered lines and thousands of short connections;
// operator actions during the load. Afterwards no line may be lost, doubled, changed or
// reordered, and the window, the error log and the memory must be in order.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/server/server_harness.h"

namespace korrin::blackbox {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPort = 4500;
constexpr int kTimerMs = 50;  // the fastest pacing: 20 lines a second at most
// The flood: lines are queued far faster than they leave, but stay below the queue's
// high-water mark (100,000 lines), so reading never pauses and the queue drains in time.
constexpr int kFloodLines = 400;  // sender P1, short lines in bursts
constexpr int kBigLines = 200;    // sender P2, 60,000 bytes each: 12 MB per receiver
constexpr int kBigLineBytes = 60000;
constexpr int kOverlongLines = 3;        // sender P2, 70,000 bytes each: dropped and logged
constexpr int kChurnConnections = 2500;  // short-lived senders
constexpr int kChurnLineEvery = 10;      // every tenth sends one complete line and closes
// What the process may hold: the queue (under 1,000 lines, 12 MB of them big), up to 4 MiB
// unsent for each receiver that never reads, the partial lines of the short connections.
constexpr long kRssBoundKb = 160 * 1024;

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The text of a line from its sender and number, so any changed byte shows.
std::string lineText(char sender, int n, size_t size) {
    char head[32];
    snprintf(head, sizeof head, "%c:%06d:", sender, n);
    std::string line = head;
    const char fill = static_cast<char>('a' + n % 26);
    while (line.size() < size) line += fill;
    return line;
}
size_t smallSize(int n) {
    return 12 + static_cast<size_t>(n * 7 % 70);
}

uint64_t lineHash(std::string_view line) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : line) h = (h ^ c) * 1099511628211ull;
    return h;
}

// One receiver: its complete lines as hashes (12 MB a receiver would add up), and the piece
// after its last line end.
struct Receiver {
    enum Kind { Fast, Slow, Never, Resetter, Victim, Late } kind;
    int fd = -1;
    int id = -1;  // connection id the server gave it; -1 when not known
    std::vector<uint64_t> lines;
    std::string rest;
    bool closedByServer = false;
    bool resetByUs = false;

    void take(const char* bytes, size_t n) {
        rest.append(bytes, n);
        size_t at = 0;
        for (size_t end; (end = rest.find('\n', at)) != std::string::npos; at = end + 1)
            lines.push_back(lineHash(std::string_view(rest).substr(at, end - at)));
        rest.erase(0, at);
    }
};

// Reads what is waiting without blocking, at most max bytes; false once the peer has closed.
bool readSome(Receiver& r, size_t max) {
    char buf[65536];
    for (size_t total = 0; total < max;) {
        ssize_t n = recv(r.fd, buf, std::min(sizeof buf, max - total), MSG_DONTWAIT);
        if (n > 0) {
            r.take(buf, static_cast<size_t>(n));
            total += static_cast<size_t>(n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
        break;
    }
    return true;
}

long rssKb(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// The Wine process of the server: its command line names the private program directory.
int serverPid(const std::string& dir) {
    std::string out;
    run({"pgrep", "-f", dir.substr(dir.rfind('/') + 1) + ".KorrinServer.exe"}, &out, 5000);
    std::istringstream in(out);
    int pid = -1, best = -1;
    long bestRss = -1;
    while (in >> pid) {
        const long rss = rssKb(pid);
        if (rss > bestRss) best = pid, bestRss = rss;
    }
    return best;
}

class Soak : public ::testing::Test {
  public:  // the phases are named in a timeline
    void SetUp() override {
        KORRIN_NEED_WINDOWS_BUILD();
        server_ = std::make_unique<ServerUnderTest>();
    }
    void TearDown() override {
        sendersStop_ = true;
        joinAll(senders_);
        stop_ = true;
        joinAll(threads_);
        for (auto& r : receivers_) closeFd(r->fd);
        for (int fd : {p1_, p2_}) closeFd(fd);
        server_.reset();
    }
    static void joinAll(std::vector<std::thread>& threads) {
        for (auto& t : threads)
            if (t.joinable()) t.join();
        threads.clear();
    }

    // The server on the port and the one after it, at the fastest pace.
    void startServer(int port) {
        server_->setSetting("Port", std::to_string(port));
        server_->setSetting("Timer", std::to_string(kTimerMs));
        ASSERT_TRUE(server_->start());
        ASSERT_TRUE(listensWithin(port, 5000) && listensWithin(port + 1, 5000));
    }
    void at(int ms) { std::this_thread::sleep_until(t0_ + std::chrono::milliseconds(ms)); }

    // 31 receivers, connected one after the other so the ids follow the order; a 32nd is turned
    // away at once.
    void connectReceivers() {
        const Receiver::Kind plan[] = {Receiver::Never,    Receiver::Never,    Receiver::Never,
                                       Receiver::Slow,     Receiver::Slow,     Receiver::Slow,
                                       Receiver::Slow,     Receiver::Resetter, Receiver::Resetter,
                                       Receiver::Resetter, Receiver::Victim};
        for (int i = 0; i < 31; ++i) {
            auto r = std::make_unique<Receiver>();
            r->kind = i < static_cast<int>(std::size(plan)) ? plan[i] : Receiver::Fast;
            r->fd = connectTo(kPort + 1, 3000, r->kind == Receiver::Never ? 4096 : 0);
            ASSERT_GE(r->fd, 0);
            r->id = i;
            receivers_.push_back(std::move(r));
        }
        auto d = server_->waitFor([](auto& m) { return m["list3.count"] == "31"; }, 15000);
        ASSERT_EQ(d["list3.count"], "31");
        for (int i = 0; i < 31; ++i)
            ASSERT_EQ(d["list3." + std::to_string(i)],
                      "127.0.0.1-" + std::to_string(i) + "|" + std::to_string(i));
        int extra = connectTo(kPort + 1);
        EXPECT_TRUE(closedWithin(extra, 3000));
        closeFd(extra);
    }

    // One thread for the fast receivers (and those that join later), one for the slow, and one
    // that keeps the memory peak.
    void startReaders() {
        threads_.emplace_back([this] {
            while (!stop_) {
                std::vector<pollfd> fds;
                std::vector<Receiver*> who;
                {
                    std::lock_guard<std::mutex> lock(mu_);
                    for (auto& r : receivers_) {
                        if (r->closedByServer || r->resetByUs || r->kind == Receiver::Never ||
                            r->kind == Receiver::Slow)
                            continue;
                        fds.push_back({r->fd, POLLIN, 0});
                        who.push_back(r.get());
                    }
                }
                if (poll(fds.data(), fds.size(), 50) <= 0) continue;
                std::lock_guard<std::mutex> lock(mu_);
                for (size_t i = 0; i < fds.size(); ++i) {
                    if (who[i]->resetByUs || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                        continue;
                    if (!readSome(*who[i], 1 << 20)) who[i]->closedByServer = true;
                }
            }
        });
        threads_.emplace_back([this] {
            // Bites with pauses, and every second a stall of a second: the lag grows to a
            // megabyte or so, well inside the 4 MiB the server keeps for each receiver.
            for (int round = 0; !stop_; ++round) {
                sleepMs(round % 100 == 99 ? 1000 : 10);
                std::lock_guard<std::mutex> lock(mu_);
                for (auto& r : receivers_)
                    if (r->kind == Receiver::Slow && !r->closedByServer && !readSome(*r, 65536))
                        r->closedByServer = true;
            }
        });
        peakRss_ = rssKb(pid_);
        threads_.emplace_back([this] {
            while (!stop_) {
                peakRss_ = std::max(peakRss_.load(), rssKb(pid_));
                sleepMs(200);
            }
        });
    }

    // P1 floods short lines in bursts; P2 sends big lines and a few overlong ones; the churn opens
    // thousands of short connections that mostly send nothing whole.
    void startSenders() {
        t0_ = Clock::now();
        p1_ = connectTo(kPort);
        p2_ = connectTo(kPort);
        ASSERT_GE(p1_, 0);
        ASSERT_GE(p2_, 0);
        senders_.emplace_back([this] {
            for (int n = 0; n < kFloodLines && !sendersStop_; n += 50) {
                std::string burst;
                for (int k = n; k < n + 50; ++k) burst += lineText('P', k, smallSize(k)) + "\n";
                sendAll(p1_, burst);
                sleepMs(1500);
            }
        });
        senders_.emplace_back([this] {
            // After the operator's actions, which read the window: with big lines queued that
            // takes long. And no receiver that never reads is cut before the double-click.
            at(20000);
            int overlong = 0;
            for (int n = 0; n < kBigLines && !sendersStop_; ++n) {
                if (n % 60 == 30 && overlong < kOverlongLines) {
                    sendAll(p2_, std::string(70000, 'o') + "\n");
                    ++overlong;
                }
                sendAll(p2_, lineText('Q', n, kBigLineBytes) + "\n");
                if (n % 10 == 9) sleepMs(800);
            }
        });
        senders_.emplace_back([this] {
            for (int c = 0; c < kChurnConnections && !sendersStop_; ++c) {
                int fd = connectTo(kPort, 3000);
                if (fd < 0) continue;
                const int kind = c % kChurnLineEvery;
                if (kind == 0) {
                    sendAll(fd, lineText('C', c / kChurnLineEvery, smallSize(c)) + "\n");
                    closeFd(fd);
                } else if (kind < 4) {
                    sendAll(fd, "partial line of " + std::to_string(c));  // no line end: dropped
                    resetFd(fd);
                } else if (kind < 8) {
                    sendAll(fd, "partial line of " + std::to_string(c));
                    closeFd(fd);
                } else {
                    closeFd(fd);
                }
                ++churnDone_;
                if (c % 100 == 99) sleepMs(1000);
            }
        });
    }

    // A receiver resets its connection; once the server has let it go, a new one joins.
    void resetOneReceiver() {
        // A dump can come back empty while the window is busy: ask until it answers.
        const int before = std::atoi(
            server_->waitFor([](auto& x) { return !x["list3.count"].empty(); })["list3.count"]
                .c_str());
        ASSERT_GT(before, 0);
        {
            std::lock_guard<std::mutex> lock(mu_);
            auto r = std::find_if(receivers_.begin(), receivers_.end(), [](auto& x) {
                return x->kind == Receiver::Resetter && !x->resetByUs;
            });
            ASSERT_NE(r, receivers_.end());
            readSome(**r, 1 << 30);
            (*r)->resetByUs = true;
            resetFd((*r)->fd);
            (*r)->fd = -1;
        }
        auto m = server_->waitFor(
            [before](auto& x) { return std::atoi(x["list3.count"].c_str()) < before; }, 15000);
        ASSERT_LT(std::atoi(m["list3.count"].c_str()), before);
        auto late = std::make_unique<Receiver>();
        late->kind = Receiver::Late;
        late->fd = connectTo(kPort + 1);
        std::lock_guard<std::mutex> lock(mu_);
        receivers_.push_back(std::move(late));
    }

    // Setup, answered with the same port: nothing restarts.
    void setupWithTheSamePort() {
        server_->probe({"command", "201"});
        std::string box = server_->probe({"input", std::to_string(kPort)});
        EXPECT_NE(box.find("preset=" + std::to_string(kPort)), std::string::npos) << box;
    }

    // Double-click the victim's entry, wherever the list holds it now.
    void doubleClickTheVictim() {
        auto list = server_->waitFor([](auto& x) { return !x["list3.count"].empty(); });
        int index = -1;
        const int count = std::atoi(list["list3.count"].c_str());
        for (int i = 0; i < count; ++i)
            if (list["list3." + std::to_string(i)] == "127.0.0.1-10|10") index = i;
        ASSERT_GE(index, 0);
        server_->probe({"dblclick", "113", std::to_string(index)});
    }

    // The queue drains at the pace. The window is not asked meanwhile: with big lines queued a
    // dump of List2 takes long. The first fast receiver shows when the last line has left.
    void drain() {
        const size_t expected = kFloodLines + kBigLines + kChurnConnections / kChurnLineEvery;
        for (auto& r : receivers_)
            if (r->kind == Receiver::Fast && !reference_) reference_ = r.get();
        ASSERT_TRUE(reference_);
        // 850 lines leave in 43 s at the pace; the whole test stays within two minutes.
        for (auto until = t0_ + std::chrono::seconds(95); Clock::now() < until; sleepMs(200)) {
            std::lock_guard<std::mutex> lock(mu_);
            if (reference_->lines.size() >= expected) break;
        }
        auto d = server_->waitFor([](auto& m) { return m["list2.count"] == "0"; }, 10000);
        ASSERT_EQ(d["list2.count"], "0") << "the queue did not drain";
        sleepMs(1000);
        {
            std::lock_guard<std::mutex> lock(mu_);
            for (auto& r : receivers_) {
                if (r->resetByUs || r->closedByServer) continue;
                // The ones that never read take their bytes now, or find themselves closed.
                for (auto until = Clock::now() + std::chrono::seconds(5); Clock::now() < until;) {
                    pollfd p = {r->fd, POLLIN, 0};
                    if (poll(&p, 1, 300) <= 0) break;
                    if (!readSome(*r, 1 << 24)) {
                        r->closedByServer = true;
                        break;
                    }
                }
            }
        }
        stop_ = true;
        joinAll(threads_);
    }

    // Every line that had to arrive, in per-sender order, and where each hash stands in it.
    void listSentLines() {
        for (int k = 0; k < kFloodLines; ++k) want_.push_back(lineText('P', k, smallSize(k)));
        for (int k = 0; k < kBigLines; ++k) want_.push_back(lineText('Q', k, kBigLineBytes));
        for (int c = 0; c < kChurnConnections; c += kChurnLineEvery)
            want_.push_back(lineText('C', c / kChurnLineEvery, smallSize(c)));
        for (size_t i = 0; i < want_.size(); ++i) wanted_[lineHash(want_[i])] = i;
        ASSERT_EQ(wanted_.size(), want_.size());
    }

    // The first fast receiver was there all the time: every line once, each sender in order.
    void checkReference() {
        EXPECT_EQ(reference_->lines.size(), want_.size());
        std::map<char, int> next;
        std::set<uint64_t> seen;
        for (uint64_t h : reference_->lines) {
            auto it = wanted_.find(h);
            ASSERT_NE(it, wanted_.end()) << "a line that nobody sent, or a changed one";
            const std::string& line = want_[it->second];
            EXPECT_TRUE(seen.insert(h).second) << "twice: " << line.substr(0, 9);
            const char sender = line[0];
            const int n = std::atoi(line.c_str() + 2);
            if (sender != 'C') {  // short connections may reach the queue in any order
                EXPECT_EQ(n, next[sender]) << "out of order: " << line.substr(0, 9);
                next[sender] = n + 1;
            }
        }
        EXPECT_EQ(seen.size(), wanted_.size()) << "lines lost";
    }

    // Everyone else got a stretch of the same sequence: the whole of it while connected
    // throughout, its start when it left early, its end when it came late.
    void checkEveryReceiver() {
        const std::vector<uint64_t>& reference = reference_->lines;
        for (auto& r : receivers_) {
            const bool leftEarly = r->resetByUs || r->closedByServer;
            const bool cameLate = r->kind == Receiver::Late;
            if (!leftEarly) ++live_;
            if (r->kind == Receiver::Never && r->closedByServer) ++cut_;
            if (r->kind == Receiver::Victim) {
                EXPECT_TRUE(r->closedByServer) << "the double-click closed nothing";
            }
            SCOPED_TRACE("receiver kind " + std::to_string(r->kind) + " id " +
                         std::to_string(r->id));
            if (!leftEarly && !cameLate) {
                EXPECT_TRUE(r->lines == reference && r->rest.empty())
                    << r->lines.size() << " lines";
                continue;
            }
            size_t start = 0;
            if (cameLate && !r->lines.empty()) {
                auto it = std::find(reference.begin(), reference.end(), r->lines.front());
                ASSERT_NE(it, reference.end());
                start = static_cast<size_t>(it - reference.begin());
            }
            ASSERT_LE(start + r->lines.size(), reference.size());
            EXPECT_TRUE(std::equal(r->lines.begin(), r->lines.end(), reference.begin() + start));
            if (cameLate && !leftEarly) {
                EXPECT_EQ(start + r->lines.size(), reference.size());
            }
            // What a closed connection still carried may end inside a line, never elsewhere.
            if (!r->rest.empty()) {
                ASSERT_TRUE(leftEarly);
                ASSERT_LT(start + r->lines.size(), reference.size());
                const std::string& line = want_[wanted_.at(reference[start + r->lines.size()])];
                EXPECT_EQ(line.compare(0, r->rest.size(), r->rest), 0);
            }
        }
        // 12 MB of big lines pass the 4 MiB each receiver may have unsent, and the kernel's
        // buffers: the receivers that never read are let go, the others are not held up.
        EXPECT_EQ(cut_, 3u);
    }

    // The process runs on, and its window lists exactly the connections that are left.
    void checkWindow() {
        EXPECT_TRUE(server_->running());
        auto d = server_->waitFor(
            [&](auto& m) {
                return m["list3.count"] == std::to_string(live_) && m["list1.count"] == "2";
            },
            10000);
        EXPECT_EQ(d["list3.count"], std::to_string(live_))
            << "List3 lists a connection that is gone";
        EXPECT_EQ(d["list1.count"], "2") << "List1 keeps a short connection";
        std::set<std::string> ids;
        for (const char* list : {"list1", "list3"}) {
            const int count = std::atoi(d[std::string(list) + ".count"].c_str());
            for (int i = 0; i < count; ++i) {
                const std::string e = d[std::string(list) + "." + std::to_string(i)];
                const std::string id = e.substr(e.rfind('|') + 1);
                EXPECT_EQ(e, "127.0.0.1-" + id + "|" + id);
                EXPECT_TRUE(ids.insert(std::string(list) + id).second) << "listed twice: " << e;
            }
        }
        EXPECT_EQ(server_->setting("Port"), std::to_string(kPort));
    }

    // One well-formed line per input error.
    void checkErrorLog() {
        const std::string log = server_->readFile("IpError.txt");
        const std::regex form("Error: -?[0-9]+ - [^\r\n]*");
        size_t overlong = 0;
        for (size_t from = 0, end; from < log.size(); from = end + 2, ++logLines_) {
            end = log.find("\r\n", from);
            ASSERT_NE(end, std::string::npos) << "last line without CR LF: " << log.substr(from);
            const std::string line = log.substr(from, end - from);
            EXPECT_TRUE(std::regex_match(line, form)) << line;
            if (line.rfind("Error: 10040 - ", 0) == 0) ++overlong;
        }
        EXPECT_EQ(overlong, static_cast<size_t>(kOverlongLines));
    }

    std::unique_ptr<ServerUnderTest> server_;
    std::vector<std::unique_ptr<Receiver>> receivers_;
    // Reader and memory threads, and the senders: they use members only, so TearDown may
    // join them however the test body ends.
    std::vector<std::thread> threads_, senders_;
    std::atomic<bool> stop_{false}, sendersStop_{false};
    std::mutex mu_;  // guards receivers_ against the reader threads
    std::atomic<long> peakRss_{0};
    std::atomic<int> churnDone_{0};
    int pid_ = -1, p1_ = -1, p2_ = -1;
    Clock::time_point t0_;
    const Receiver* reference_ = nullptr;  // the first fast receiver, there all the time
    size_t live_ = 0, cut_ = 0, logLines_ = 0;
    std::vector<std::string> want_;
    std::map<uint64_t, size_t> wanted_;  // the index in want_ of each line's hash
};

TEST_F(Soak, RelayUnderLoadAndFaultsLosesNothing) {
    ASSERT_NO_FATAL_FAILURE(startServer(kPort));
    pid_ = serverPid(server_->dir());
    ASSERT_GT(pid_, 0) << "no process for " << server_->dir();
    ASSERT_NO_FATAL_FAILURE(connectReceivers());
    startReaders();
    ASSERT_NO_FATAL_FAILURE(startSenders());

    // Operator and faults during the load, at their times.
    const std::pair<int, void (Soak::*)()> timeline[] = {{5000, &Soak::resetOneReceiver},
                                                         {9000, &Soak::resetOneReceiver},
                                                         {12000, &Soak::setupWithTheSamePort},
                                                         {16000, &Soak::doubleClickTheVictim},
                                                         {18000, &Soak::resetOneReceiver}};
    for (auto [ms, step] : timeline) {
        at(ms);
        ASSERT_NO_FATAL_FAILURE((this->*step)());
    }
    joinAll(senders_);
    ASSERT_EQ(churnDone_, kChurnConnections) << "short connections that could not connect";

    ASSERT_NO_FATAL_FAILURE(drain());
    ASSERT_NO_FATAL_FAILURE(listSentLines());
    ASSERT_NO_FATAL_FAILURE(checkReference());
    ASSERT_NO_FATAL_FAILURE(checkEveryReceiver());
    checkWindow();
    ASSERT_NO_FATAL_FAILURE(checkErrorLog());

    const long peak = peakRss_.load();
    EXPECT_LT(peak, kRssBoundKb) << "memory peak";
    const double secs = std::chrono::duration<double>(Clock::now() - t0_).count();
    printf(
        "soak: %zu lines relayed (%d big), %d short connections, %d receivers reset, "
        "%zu never-readers closed at the cap, %zu error-log lines, peak VmRSS %ld KiB, %.0f s\n",
        reference_->lines.size(), kBigLines, churnDone_.load(), 3, cut_, logLines_, peak, secs);
    RecordProperty("peak_rss_kb", std::to_string(peak));
}

// Receivers that come and go by the thousand beside six that stay, and senders that each
// bring one line and leave: socket handles are reused all the time. The steady receivers get
// every line, no short-lived one is closed while it reads, and no failure is shown.
// Churn needs no window: it runs against the Windows program and korrin-relay.
class Churn : public Soak, public ::testing::WithParamInterface<Program> {
  protected:
    static constexpr int kChurnPort = 4520, kLinesSent = 300, kShortThreads = 16,
                         kSenderThreads = 10;
    void SetUp() override {
        if (GetParam() == Program::Windows) return Soak::SetUp();
        if (access(relayBinary().c_str(), X_OK) != 0) GTEST_SKIP() << "no korrin-relay built";
        server_ = std::make_unique<ServerUnderTest>(Program::Linux);
    }
    void connectSteady() {
        for (int i = 0; i < 6; ++i) {
            steady_.push_back(connectTo(kChurnPort + 1));
            ASSERT_GE(steady_.back(), 0);
        }
        ASSERT_EQ(server_->waitFor([](auto& m) { return m["list3.count"] == "6"; })["list3.count"],
                  "6");
        got_.resize(steady_.size());
    }

    // Receivers that read for up to a quarter second and close, and senders of one line each.
    void startChurn() {
        for (int t = 0; t < kShortThreads; ++t) {
            senders_.emplace_back([this, t] {
                unsigned seed = static_cast<unsigned>(t) + 1;
                char buf[4096];
                while (!sendersStop_) {
                    const int fd = connectTo(kChurnPort + 1, 3000);
                    if (fd < 0) continue;
                    const auto until =
                        Clock::now() + std::chrono::milliseconds(rand_r(&seed) % 251);
                    bool cut = false;
                    while (!cut && Clock::now() < until) {
                        pollfd p = {fd, POLLIN, 0};
                        if (poll(&p, 1, 10) <= 0) continue;
                        const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
                        cut = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
                    }
                    if (cut) ++cutWhileReading_;
                    closeFd(fd);  // an orderly close
                    ++shortLived_;
                }
            });
        }
        for (int t = 0; t < kSenderThreads; ++t) {
            senders_.emplace_back([this, t] {
                for (int n = t; n < kLinesSent && !sendersStop_; n += kSenderThreads) {
                    const int fd = connectTo(kChurnPort, 3000);
                    if (fd < 0) continue;
                    sendAll(fd, "L" + std::to_string(n) + "\n");
                    closeFd(fd);
                    ++linesSent_;
                    sleepMs(450);
                }
            });
        }
    }

    // The steady receivers read until every line has reached each of them; meanwhile the window is
    // asked now and then whether it shows a failure.
    void readUntilEveryLine() {
        auto complete = [&] {
            for (const std::string& g : got_)
                if (std::count(g.begin(), g.end(), '\n') < kLinesSent) return false;
            return true;
        };
        auto nextLook = Clock::now();
        for (auto until = Clock::now() + std::chrono::seconds(60);
             !complete() && Clock::now() < until;) {
            for (size_t i = 0; i < steady_.size(); ++i) got_[i] += readFor(steady_[i], 1 << 20, 20);
            if (Clock::now() >= nextLook) {
                label2Seen_.insert(server_->dump()["label2"]);
                nextLook = Clock::now() + std::chrono::seconds(1);
            }
        }
        sendersStop_ = true;
        joinAll(senders_);
        label2Seen_.insert(server_->dump()["label2"]);
    }

    void checkSteady() {
        EXPECT_EQ(linesSent_, kLinesSent);
        EXPECT_EQ(cutWhileReading_, 0) << "of " << shortLived_ << " short-lived receivers";
        EXPECT_EQ(label2Seen_, std::set<std::string>{""});
        std::multiset<std::string> want;
        for (int n = 0; n < kLinesSent; ++n) want.insert("L" + std::to_string(n));
        for (size_t i = 0; i < steady_.size(); ++i) {
            std::multiset<std::string> lines;
            std::istringstream in(got_[i]);
            for (std::string line; std::getline(in, line);) lines.insert(line);
            EXPECT_TRUE(lines == want)
                << "steady receiver " << i << ": " << lines.size() << " lines";
            closeFd(steady_[i]);
        }
    }

    std::vector<int> steady_;
    std::vector<std::string> got_;  // what each steady receiver read
    std::set<std::string> label2Seen_;
    std::atomic<int> shortLived_{0}, cutWhileReading_{0}, linesSent_{0};
};
INSTANTIATE_TEST_SUITE_P(Programs, Churn, ::testing::Values(Program::Windows, Program::Linux),
                         [](const auto& p) { return std::string(programName(p.param)); });

TEST_P(Churn, OnBothPortsClosesNoHealthyPeer) {
    ASSERT_NO_FATAL_FAILURE(startServer(kChurnPort));
    ASSERT_NO_FATAL_FAILURE(connectSteady());
    startChurn();
    readUntilEveryLine();
    checkSteady();
    printf("churn: %d short-lived receivers, %d one-line senders\n", shortLived_.load(),
           linesSent_.load());
}

}  // namespace
}  // namespace korrin::blackbox
