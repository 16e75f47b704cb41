// relay_bench: measures Korrin Server under Wine and korrin-relay natively with Linux peers on
// 127.0.0.1 and prints tables: ingest rate, pacing accuracy, fan-out latency, memory at the
// queue's high-water mark, idle CPU, the same ingest load through `ncat --broker` and into a
// bare reader for reference, the spool: ingest with it, pacing with it, memory and restart time
// with a full one, and the status port's event streams; or two korrin-relay builds side by side.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/peers.h"
#include "bench/proc_stats.h"
#include "tests/server/server_harness.h"

extern char** environ;

namespace korrin::bench {
namespace {

using blackbox::Program;
using blackbox::ServerUnderTest;

constexpr int kInputPort = 5001;  // the output port is one above
constexpr int kOutputPort = kInputPort + 1;
constexpr int kBrokerPort = 5101;
constexpr int kFloorPort = 5103;  // the bare reader's
constexpr int kStatusPort = 5180;
// The event stream rows' own ports, apart from the others: another run of the benchmark (one
// of --compare-relay, say) may hold those meanwhile.
constexpr int kEventsInputPort = 5201;
constexpr int kEventsStatusPort = 5280;
constexpr double kStatusPollsPerSecond = 50;
constexpr int kSenders = 31;
constexpr int kReceivers = 31;
constexpr int kLineText = 40;          // bytes of text; LF follows on the wire
constexpr size_t kMarkLines = 100000;  // the queue's high-water mark in lines
// A tenth more than the mark: what the server holds back once it stops reading shows the mark.
constexpr int kLinesPerSender = (kMarkLines * 11 / 10 + kSenders - 1) / kSenders;
constexpr int kPacingInterval = 50;
constexpr int kPacingLines = 301;  // 300 gaps
constexpr int kLatencyLines = 100;
constexpr double kIdleSeconds = 10;

pid_t childPid = -1;  // a running ncat or bare reader, ended on every way out

[[noreturn]] void die(const std::string& why) {
    fprintf(stderr, "relay_bench: %s\n", why.c_str());
    if (childPid > 0) kill(childPid, SIGTERM);
    exit(1);  // scripts/bench ends the prefix's Wine processes
}

void note(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void note(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
}

// A 40-byte line, distinct per sender and number.
std::string makeLine(const char* tag, int sender, int seq) {
    char head[32];
    snprintf(head, sizeof head, "%s%02d %07d ", tag, sender, seq);
    std::string line(head);
    line.resize(kLineText, 'x');
    return line;
}

std::string senderLines(int sender, int count) {
    std::string out;
    out.reserve(static_cast<size_t>(count) * (kLineText + 1));
    for (int i = 0; i < count; ++i) out += makeLine("S", sender, i) + '\n';
    return out;
}

std::vector<Peer*> pointers(std::vector<Peer>& a, std::vector<Peer>* b = nullptr,
                            std::vector<Peer>* c = nullptr) {
    std::vector<Peer*> all;
    for (Peer& p : a) all.push_back(&p);
    for (std::vector<Peer>* more : {b, c})
        if (more)
            for (Peer& p : *more) all.push_back(&p);
    return all;
}

// Pumps the peers until done() holds; false when the time ran out or a connection broke.
bool pumpUntil(std::vector<Peer*> peers, double seconds, const std::function<bool()>& done) {
    const double until = now() + seconds;
    while (!done()) {
        if (now() > until || !pumpOnce(peers, 1)) return false;
    }
    return true;
}

double firstWriteOf(const std::vector<Peer>& peers) {
    double t = 0;
    for (const Peer& p : peers)
        if (p.wrote && (t == 0 || p.firstWriteTime < t)) t = p.firstWriteTime;
    return t;
}

// ---- the server under Wine ----

// Which relay the figures are of: the Windows program under Wine, or korrin-relay natively.
Program benchProgram = Program::Windows;

// Settings beyond the port, Timer and status port, by name.
using Settings = std::vector<std::pair<std::string, std::string>>;

class Server {
  public:
    // With timeStart, startSeconds() tells how long the input port took to listen from the
    // start on (a thread watches the kernel's tables meanwhile).
    explicit Server(int timerMs, const Settings& extra = {}, bool timeStart = false,
                    int inputPort = kInputPort, int statusPort = kStatusPort)
        : sut_(benchProgram) {
        // A server left by an earlier run would take the load in this one's place.
        if (blackbox::isListening(inputPort))
            die("port " + std::to_string(inputPort) + " is taken: does an earlier server run?");
        sut_.setSetting("Port", std::to_string(inputPort));
        sut_.setSetting("Timer", std::to_string(timerMs));
        sut_.setSetting("StatusPort", std::to_string(statusPort));
        for (const auto& [name, value] : extra) sut_.setSetting(name, value);
        std::atomic<bool> started{false};
        std::thread watch;
        const double t0 = now();
        if (timeStart)
            watch = std::thread([&] {
                while (!started && now() - t0 < 120 && !blackbox::isListening(inputPort))
                    sleepSeconds(0.001);
                startSeconds_ = now() - t0;
            });
        const bool up = sut_.start();
        if (up && benchProgram == Program::Linux) pid_ = sut_.pid();
        // Wine rewrites the command line into the Windows path of the program.
        const std::string dirName = sut_.dir().substr(sut_.dir().rfind('/') + 1);
        for (int i = 0; up && i < 50 && pid_ < 0; ++i) {
            pid_ = findProcess({dirName, "KorrinServer.exe"});
            if (pid_ < 0) sleepSeconds(0.1);
        }
        const bool listens = pid_ > 0 && blackbox::listensWithin(inputPort + 1, 60000);
        started = true;
        if (watch.joinable()) watch.join();
        if (!up) die("the server did not start");
        if (pid_ < 0) die("cannot find the server's process");
        if (!listens) die("the server does not listen");
    }
    pid_t pid() const { return pid_; }
    double startSeconds() const { return startSeconds_; }
    std::string log() const { return sut_.readFile("IpError.txt"); }
    long errorLogLines() const {
        const std::string text = log();
        return static_cast<long>(std::count(text.begin(), text.end(), '\n'));
    }
    // Ends the process as a crash would; the destructor then finds it gone.
    void killHard() { kill(pid_, SIGKILL); }
    long count(const char* list) {
        auto d = sut_.dump();
        return d.count(list) ? atol(d[list].c_str()) : -1;
    }
    // Polls the window until the list shows at least `want` entries.
    long waitCount(const char* list, long want, int ms) {
        auto d = sut_.waitFor(
            [&](auto& m) { return m.count(list) && atol(m[list].c_str()) >= want; }, ms);
        return d.count(list) ? atol(d[list].c_str()) : -1;
    }

  private:
    ServerUnderTest sut_;
    pid_t pid_ = -1;
    double startSeconds_ = 0;
};

// The server's /status.json; null when it did not answer.
nlohmann::json statusJson() {
    const int fd = blackbox::connectTo(kStatusPort, 1000);
    if (fd < 0) return nullptr;
    blackbox::sendAll(fd, "GET /status.json HTTP/1.1\r\nHost: localhost\r\n\r\n");
    const std::string answer = blackbox::readFor(fd, 1 << 20, 3000);
    blackbox::closeFd(fd);
    const size_t body = answer.find("\r\n\r\n");
    if (body == std::string::npos) return nullptr;
    nlohmann::json j = nlohmann::json::parse(answer.substr(body + 4), nullptr, false);
    return j.is_discarded() ? nullptr : j;
}

uint64_t spoolNumber(const nlohmann::json& status, const char* key) {
    const auto& s = status.is_object() ? status["spool"] : nullptr;
    return s.is_object() && s[key].is_number() ? s[key].get<uint64_t>() : 0;
}

// Pumps the peers while asking for the status 20 times a second, until it satisfies done or the
// time is up; the last status.
nlohmann::json pumpUntilStatus(const std::vector<Peer*>& peers, double seconds,
                               const std::function<bool(const nlohmann::json&)>& done) {
    nlohmann::json status;
    for (const double until = now() + seconds; now() < until;) {
        status = statusJson();
        if (done(status)) break;
        pumpUntil(peers, 0.05, [] { return false; });
    }
    return status;
}

// A spool folder under build/ (on the disk: /tmp may be memory), deleted with this object.
class SpoolFolder {
  public:
    explicit SpoolFolder(const std::string& name) {
        const char* base = getenv("KORRIN_BENCH_SPOOL");
        char cwd[4096];
        path_ =
            base ? base
                 : std::string(getcwd(cwd, sizeof cwd) ? cwd : ".") + "/build/bench-native/spool";
        path_ += "/" + name;
        blackbox::run({"rm", "-rf", path_});
    }
    ~SpoolFolder() { blackbox::run({"rm", "-rf", path_}); }
    SpoolFolder(const SpoolFolder&) = delete;
    SpoolFolder& operator=(const SpoolFolder&) = delete;

    // The settings that put the server's spool here; Wine sees the Linux root as drive Z:.
    Settings settings(int syncMs, int limitMiB = 1024) const {
        std::string path = path_;
        if (benchProgram == Program::Windows) {
            std::replace(path.begin(), path.end(), '/', '\\');
            path = "Z:" + path;
        }
        return {{"Spool", path},
                {"SpoolSync", std::to_string(syncMs)},
                {"SpoolLimit", std::to_string(limitMiB)}};
    }

  private:
    std::string path_;
};

// A client that asks for /status.json 50 times a second on a thread of its own, each time on a
// new connection, as long as it lives.
class StatusPoller {
  public:
    StatusPoller() : thread_([this] { run(); }) {}
    ~StatusPoller() {
        stop_ = true;
        thread_.join();
    }
    long answered() const { return answered_; }
    long failed() const { return failed_; }

  private:
    void run() {
        double next = now();
        while (!stop_) {
            const int fd = blackbox::connectTo(kStatusPort, 1000);
            if (fd < 0) {
                ++failed_;
            } else {
                blackbox::sendAll(fd, "GET /status.json HTTP/1.1\r\nHost: localhost\r\n\r\n");
                const std::string a = blackbox::readFor(fd, 1 << 20, 2000);
                (a.rfind("HTTP/1.1 200", 0) == 0 && a.back() == '\n' ? answered_ : failed_)++;
                blackbox::closeFd(fd);
            }
            next += 1 / kStatusPollsPerSecond;
            const double wait = next - now();
            if (wait > 0) sleepSeconds(wait);
        }
    }
    std::atomic<bool> stop_{false};
    std::atomic<long> answered_{0}, failed_{0};
    std::thread thread_;
};

struct CpuShare {
    double server = 0;       // % of one core
    double wineserver = -1;  // % of one core; -1 when not found
};

CpuShare idleCpu(pid_t server, double seconds) {
    const pid_t ws = findWineserver(getenv("WINEPREFIX") ? getenv("WINEPREFIX") : "");
    const double s0 = cpuSeconds(server), w0 = ws > 0 ? cpuSeconds(ws) : -1, t0 = now();
    sleepSeconds(seconds);
    const double s1 = cpuSeconds(server), w1 = ws > 0 ? cpuSeconds(ws) : -1, t1 = now();
    CpuShare c;
    c.server = 100 * (s1 - s0) / (t1 - t0);
    if (ws > 0 && w0 >= 0 && w1 >= 0) c.wineserver = 100 * (w1 - w0) / (t1 - t0);
    return c;
}

// ---- ingest ----

// An ingest run repeats bursts until their summed reading time reaches this, so that one
// scheduling hiccup weighs only its share: a burst of 100,000 lines takes milliseconds. Under
// Wine, where each burst needs a fresh server that takes seconds to start, a run stops after
// wineBursts bursts.
double ingestSeconds = 2;
int wineBursts = 5;

struct IngestRun {
    double linesPerSecond = 0;  // over every burst of the run
    int bursts = 0;
    double seconds = 0;  // the bursts' reading time, summed
    long rssIdleKiB = 0, rssMarkKiB = 0;
    long queueShown = 0;      // List2's count once the window caught up
    double serverCpu = 0;     // % of one core while the senders were writing
    long sentDuring = 0;      // lines the first receiver got before the mark
    long readAtStop = 0;      // lines the server had read half a second after the mark
    double writeSeconds = 0;  // how long the senders took to hand 100,000 lines to the kernel
    double shownAfter = 0;    // seconds from the mark until List2 showed the queue
    double syncP99Ms = 0;     // with a spool: the p99 of its flushes to stable storage
    long faults = 0;  // the server's minor page faults from the first byte to the mark, median
};

int localPort(int fd) {
    sockaddr_in a = {};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

uint64_t writtenBytes(const std::vector<Peer>& senders) {
    uint64_t written = 0;
    for (const Peer& p : senders) written += p.written;
    return written;
}

// What the server has read: a byte written counts once it waits neither in a sender's send
// queue nor in the server's receive queue.
uint64_t consumedBytes(const std::vector<Peer>& senders, int port = kInputPort) {
    const TcpBacklog b = tcpBacklog(port);
    return writtenBytes(senders) - b.unread - b.unsent;
}

// Fills each new sender with its share of 110,019 lines and pumps the senders and the others
// until the server on the port has read 100,000 lines. Returns the time of that mark, 0 when it
// was not reached within two minutes.
double floodToMark(std::vector<Peer>& senders, std::vector<Peer>* others, double* writtenAt,
                   int port = kInputPort) {
    for (size_t i = 0; i < senders.size(); ++i)
        senders[i].queue(senderLines(static_cast<int>(i), kLinesPerSender));
    const uint64_t markBytes = kMarkLines * (kLineText + 1);
    double mark = 0;
    pumpUntil(pointers(senders, others), 120, [&] {
        // The kernel's tables are read only once enough was written.
        if (writtenBytes(senders) < markBytes) return false;
        if (*writtenAt == 0) *writtenAt = now();
        if (consumedBytes(senders, port) < markBytes) return false;
        mark = now();
        return true;
    });
    return mark;
}

// Bursts until their summed time reaches ingestSeconds or maxBursts ran; burst(i) runs one and
// gives its seconds.
void repeatBursts(IngestRun& r, int maxBursts, const std::function<double(int)>& burst) {
    while (r.seconds < ingestSeconds && r.bursts < maxBursts) r.seconds += burst(r.bursts++);
    r.linesPerSecond = static_cast<double>(kMarkLines) * r.bursts / r.seconds;
}

// Each burst on a fresh server (and with a spool, a fresh folder). The first one also takes the
// figures around the mark: with a spool, that it holds the lines on stable storage (its bound
// is the spool's size, so reading goes on past 100,000 lines); without one, the high-water mark.
IngestRun ingestThroughServer(int timerMs, int receiverCount, std::optional<CpuShare>* idle,
                              bool polled = false, std::optional<int> spoolSync = {}) {
    IngestRun r;
    std::vector<double> faults;
    double cpu = 0;
    repeatBursts(r, benchProgram == Program::Windows ? wineBursts : INT_MAX, [&](int burst) {
        const bool first = burst == 0;
        std::optional<SpoolFolder> folder;
        if (spoolSync) folder.emplace("ingest");
        Server server(timerMs, folder ? folder->settings(*spoolSync) : Settings{});
        std::optional<StatusPoller> poller;
        if (polled) poller.emplace();
        if (first) {
            sleepSeconds(1);  // let start-up settle before the idle figures
            if (idle && !*idle) *idle = idleCpu(server.pid(), kIdleSeconds);
            r.rssIdleKiB = vmRssKiB(server.pid());
        }
        std::vector<Peer> receivers;
        if (receiverCount > 0) {
            receivers = connectPeers(kOutputPort, receiverCount, true, true);
            if (receivers.empty() ||
                server.waitCount("list3.count", receiverCount, 10000) < receiverCount)
                die("receivers could not connect");
        }
        std::vector<Peer> senders = connectPeers(kInputPort, kSenders, false, false);
        if (senders.empty()) die("senders could not connect");
        if (server.waitCount("list1.count", kSenders, 10000) < kSenders)
            die("not all senders listed");

        const double cpu0 = cpuSeconds(server.pid());
        const long faults0 = minorFaults(server.pid());
        double writtenAt = 0;
        const double end = floodToMark(senders, &receivers, &writtenAt);
        if (end == 0) die("the server did not take 100,000 lines within 120 s");
        faults.push_back(static_cast<double>(minorFaults(server.pid()) - faults0));
        cpu += cpuSeconds(server.pid()) - cpu0;
        const double start = firstWriteOf(senders);
        if (!first) return end - start;
        r.writeSeconds = writtenAt - start;
        if (!receivers.empty()) {
            for (double t : receivers[0].lineTimes) r.sentDuring += t <= end ? 1 : 0;
        }
        if (spoolSync) {
            const nlohmann::json st =
                pumpUntilStatus(pointers(senders, &receivers), 5, [](auto& j) {
                    const uint64_t last = spoolNumber(j, "last_seq");
                    return last >= kMarkLines && spoolNumber(j, "synced_seq") == last;
                });
            if (spoolNumber(st, "synced_seq") < kMarkLines)
                die("the spool did not keep the lines: " +
                    (st.is_object() ? st["spool"].dump() : "no status"));
            r.syncP99Ms = st["spool"]["sync_p99_ms"].is_number()
                              ? st["spool"]["sync_p99_ms"].get<double>()
                              : -1;
            return end - start;
        }
        // Past the mark the server stops reading: what it has read must stay put.
        pumpUntil(pointers(senders, &receivers), 0.5, [] { return false; });
        r.readAtStop = static_cast<long>(consumedBytes(senders) / (kLineText + 1));
        r.queueShown = server.waitCount("list2.count", kMarkLines - 10, 60000);
        r.shownAfter = now() - end;
        r.rssMarkKiB = vmRssKiB(server.pid());
        return end - start;
    });
    r.serverCpu = 100 * cpu / r.seconds;
    r.faults = static_cast<long>(median(faults));
    return r;
}

// A child process, its stdout on a pipe when asked.
struct Child {
    pid_t pid = -1;
    int out = -1;  // its stdout; -1 when it goes to /dev/null
};
Child startChild(std::vector<std::string> args, bool readOutput) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int pipeFds[2] = {-1, -1};
    if (readOutput && pipe2(pipeFds, O_CLOEXEC) != 0) die("cannot make a pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (readOutput)
        posix_spawn_file_actions_adddup2(&fa, pipeFds[1], 1);
    else
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    Child c;
    if (posix_spawnp(&c.pid, argv[0], &fa, nullptr, argv.data(), environ) != 0)
        die("cannot run " + args[0]);
    posix_spawn_file_actions_destroy(&fa);
    childPid = c.pid;
    if (readOutput) {
        close(pipeFds[1]);
        c.out = pipeFds[0];
    }
    return c;
}

// A line of the child's output, empty when none came within the time.
std::string childLine(const Child& c, double seconds) {
    std::string line;
    for (const double until = now() + seconds; now() < until;) {
        pollfd p = {c.out, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char ch;
        if (read(c.out, &ch, 1) != 1) break;
        if (ch == '\n') return line;
        line += ch;
    }
    return {};
}

void endChild(Child& c, bool terminate) {
    if (terminate) kill(c.pid, SIGTERM);
    waitpid(c.pid, nullptr, 0);
    if (c.out >= 0) close(c.out);
    childPid = -1;
}

// ncat relays every client's bytes to every other client, so the senders drain what they get
// from each other; a burst ends when the one reader has 100,000 lines. A fresh broker each.
IngestRun ingestThroughBroker() {
    IngestRun r;
    repeatBursts(r, INT_MAX, [](int) {
        Child ncat =
            startChild({"ncat", "--broker", "-l", "127.0.0.1", std::to_string(kBrokerPort)}, false);
        if (!blackbox::listensWithin(kBrokerPort, 5000)) die("ncat --broker does not listen");
        std::vector<Peer> reader = connectPeers(kBrokerPort, 1, true, false);
        std::vector<Peer> senders = connectPeers(kBrokerPort, kSenders, true, false);
        if (reader.empty() || senders.empty()) die("cannot connect to ncat --broker");
        sleepSeconds(0.2);  // the broker accepts them all before the first byte
        for (int i = 0; i < kSenders; ++i) senders[i].queue(senderLines(i, kLinesPerSender));
        double end = 0;
        const bool ok = pumpUntil(pointers(senders, &reader), 120, [&] {
            if (reader[0].linesSeen < kMarkLines) return false;
            end = now();
            return true;
        });
        const double start = firstWriteOf(senders);
        closePeers(reader);
        closePeers(senders);
        endChild(ncat, true);
        if (!ok) die("ncat --broker did not pass 100,000 lines within 120 s");
        return end - start;
    });
    return r;
}

// The bare reader beside this program.
std::string bareReaderPath() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.rfind('/') + 1) + "bare_reader";
}

// The same load into the bare reader, a process of its own on its own port, fresh each burst.
IngestRun ingestFloor() {
    IngestRun r;
    double cpu = 0;
    repeatBursts(r, INT_MAX, [&](int) {
        Child reader = startChild(
            {bareReaderPath(), std::to_string(kFloorPort), std::to_string(kSenders)}, true);
        if (!blackbox::listensWithin(kFloorPort, 5000))
            die("the bare reader does not listen on port " + std::to_string(kFloorPort));
        std::vector<Peer> senders = connectPeers(kFloorPort, kSenders, false, false);
        if (senders.empty()) die("cannot connect to the bare reader");
        if (childLine(reader, 5) != "accepted") die("the bare reader did not take the senders");
        const double cpu0 = cpuSeconds(reader.pid);
        double writtenAt = 0;
        const double end = floodToMark(senders, nullptr, &writtenAt, kFloorPort);
        if (end == 0) die("the bare reader did not take 100,000 lines within 120 s");
        cpu += cpuSeconds(reader.pid) - cpu0;
        const double start = firstWriteOf(senders);
        // Its own count, once every sender closed, must agree with what they wrote.
        if (!pumpUntil(pointers(senders), 5, [&] {
                return std::all_of(senders.begin(), senders.end(),
                                   [](const Peer& p) { return p.unwritten() == 0; });
            }))
            die("the senders could not write to the bare reader");
        closePeers(senders);
        const std::string counted = childLine(reader, 5);
        endChild(reader, false);
        if (counted != std::to_string(kLinesPerSender * kSenders))
            die("the bare reader counted " + counted + " lines");
        return end - start;
    });
    r.serverCpu = 100 * cpu / r.seconds;
    return r;
}

// ---- pacing and fan-out ----

struct Spread {
    double median = 0, p99 = 0, least = 0;
};
Spread spreadOf(const std::vector<double>& v) {
    return {median(v), percentile(v, 99), v.empty() ? 0 : *std::min_element(v.begin(), v.end())};
}

// Gap errors in ms between consecutive lines of one receiver, from line `from` on.
std::vector<double> gapErrors(const Peer& r, size_t from, size_t to) {
    std::vector<double> e;
    for (size_t i = from + 1; i < to && i < r.lineTimes.size(); ++i)
        e.push_back(1000 * (r.lineTimes[i] - r.lineTimes[i - 1]) - kPacingInterval);
    return e;
}

// Senders writing without line ends as fast as the server reads, for a fixed time.
struct ByteFlood {
    int senders = 0;
    double readMiBps = 0;                             // what the server read meanwhile
    size_t lines = 0;                                 // lines the first receiver got meanwhile
    double maxGap = 0;                                // the longest wait for a line, ms
    double leastMiB = 0, medianMiB = 0, mostMiB = 0;  // read per sender
};

struct PacingResults {
    CpuShare idleCpu;
    Spread idleGap1;   // idle input, one receiver
    Spread idleGap;    // idle input, 31 receivers
    Spread polledGap;  // the same while /status.json is asked 50 times a second
    long polls = 0, pollsFailed = 0;
    Spread linesFloodGap;  // 31 senders writing lines at a sustained rate
    Spread fanSpread, writeToLast;
    double linesOffered = 0;  // lines the sustained flood wrote
    std::vector<ByteFlood> byteFloods;
    long errorLogLines = 0;  // lines in IpError.txt at the end
};

constexpr int kFloodLinesPerWrite = 2;  // per sender every 20 ms: 3,100 lines/s from 31 senders
constexpr double kFloodPeriod = 0.020;
constexpr double kByteFloodSeconds = 10;

void clearLines(std::vector<Peer>& peers) {
    for (Peer& p : peers) {
        p.lines.clear();
        p.lineTimes.clear();
    }
}

// Pumps until the receiver has the pacing lines, calling feed() on every round; the gap errors.
Spread pacedGaps(const char* what, std::vector<Peer*> peers, Peer& r,
                 const std::function<void()>& feed) {
    const double start = now();
    if (!pumpUntil(peers, 60, [&] {
            feed();
            return r.lines.size() >= static_cast<size_t>(kPacingLines);
        }))
        die(std::string("pacing, ") + what + ": " + std::to_string(r.lines.size()) + " of " +
            std::to_string(kPacingLines) + " lines arrived within " +
            std::to_string(static_cast<int>(now() - start)) + " s");
    note("  pacing, %s: %zu lines in %.1f s", what, r.lines.size(), now() - start);
    return spreadOf(gapErrors(r, 0, kPacingLines));
}

void queueBatch(Peer& s) {
    for (int i = 0; i < kPacingLines; ++i) s.queue(makeLine("P", 0, i) + '\n');
}

// When the peer got the line: as it was written (a TCP receiver), or as an event's data.
std::optional<double> receiptOf(const Peer& r, const std::string& line) {
    constexpr std::string_view data = "data: ";
    for (size_t i = 0; i < r.lines.size(); ++i) {
        const std::string& l = r.lines[i];
        if (l == line || (l.size() == data.size() + line.size() && l.rfind(data, 0) == 0 &&
                          l.compare(data.size(), std::string::npos, line) == 0))
            return r.lineTimes[i];
    }
    return std::nullopt;
}

// The fan-out lines: one every two intervals, so each leaves the empty queue at the next tick.
// Returns when every reading peer has the last one; their write times.
std::vector<double> sendLatencyLines(Peer& sender, const std::vector<Peer*>& peers) {
    for (Peer* p : peers) {
        p->lines.clear();
        p->lineTimes.clear();
    }
    std::vector<double> writeTimes;
    for (int i = 0; i < kLatencyLines; ++i) {
        sender.queue(makeLine("L", 0, i) + '\n');
        writeTimes.push_back(now());
        const double next = now() + 2.0 * kPacingInterval / 1000;
        pumpUntil(peers, 1, [&] { return now() >= next; });
    }
    const std::string last = makeLine("L", 0, kLatencyLines - 1);
    pumpUntil(peers, 2, [&] {
        return std::all_of(peers.begin(), peers.end(),
                           [&](const Peer* p) { return !p->read || receiptOf(*p, last); });
    });
    return writeTimes;
}

struct FanOut {
    Spread spread;       // a line's first receipt among some peers to its last among others
    Spread writeToLast;  // its write to that last receipt
};

// Over the fan-out lines: from the first of `from` to the last of `to` to get each.
FanOut fanOutOf(const std::vector<double>& writeTimes, const std::vector<Peer*>& from,
                const std::vector<Peer*>& to) {
    std::vector<double> spread, toLast;
    for (int i = 0; i < kLatencyLines; ++i) {
        const std::string want = makeLine("L", 0, i);
        auto receipt = [&](const Peer* r) {
            const std::optional<double> t = receiptOf(*r, want);
            if (!t) die("a fan-out line did not reach every receiver");
            return *t;
        };
        double first = receipt(from[0]), last = receipt(to[0]);
        for (const Peer* r : from) first = std::min(first, receipt(r));
        for (const Peer* r : to) last = std::max(last, receipt(r));
        spread.push_back(1000 * (last - first));
        toLast.push_back(1000 * (last - writeTimes[static_cast<size_t>(i)]));
    }
    return {spreadOf(spread), spreadOf(toLast)};
}

// The 31-receiver batch with idle input alone, on a server of its own: for comparing settings.
Spread pacing31(const char* what, const Settings& extra) {
    Server server(kPacingInterval, extra);
    std::vector<Peer> receivers = connectPeers(kOutputPort, kReceivers, true, true);
    std::vector<Peer> senders = connectPeers(kInputPort, 1, false, false);
    if (receivers.empty() || senders.empty() ||
        server.waitCount("list3.count", kReceivers, 10000) < kReceivers ||
        server.waitCount("list1.count", 1, 10000) < 1)
        die("the pacing peers were not listed");
    queueBatch(senders[0]);
    const Spread s = pacedGaps(what, pointers(senders, &receivers), receivers[0], [] {});
    closePeers(senders);
    closePeers(receivers);
    return s;
}

PacingResults pacingAndFanOut() {
    Server server(kPacingInterval);
    PacingResults res;
    sleepSeconds(1);
    res.idleCpu = idleCpu(server.pid(), kIdleSeconds);
    auto nothing = [] {};

    // Idle input, one receiver, then 31: a batch queued at once leaves one line per tick.
    std::vector<Peer> receivers = connectPeers(kOutputPort, 1, true, true);
    std::vector<Peer> senders = connectPeers(kInputPort, 1, false, false);
    if (receivers.empty() || senders.empty() || server.waitCount("list3.count", 1, 10000) < 1 ||
        server.waitCount("list1.count", 1, 10000) < 1)
        die("the first receiver and sender were not listed");
    queueBatch(senders[0]);
    res.idleGap1 =
        pacedGaps("idle input, 1 receiver", pointers(senders, &receivers), receivers[0], nothing);

    std::vector<Peer> more = connectPeers(kOutputPort, kReceivers - 1, true, true);
    receivers.insert(receivers.end(), more.begin(), more.end());
    if (more.empty() || server.waitCount("list3.count", kReceivers, 10000) < kReceivers)
        die("not all receivers listed");
    clearLines(receivers);
    queueBatch(senders[0]);
    res.idleGap =
        pacedGaps("idle input, 31 receivers", pointers(senders, &receivers), receivers[0], nothing);
    {
        StatusPoller poller;
        clearLines(receivers);
        queueBatch(senders[0]);
        res.polledGap = pacedGaps("idle input, 31 receivers, status polled",
                                  pointers(senders, &receivers), receivers[0], nothing);
        res.polls = poller.answered();
        res.pollsFailed = poller.failed();
    }

    const std::vector<Peer*> all = pointers(senders, &receivers);
    const FanOut fan =
        fanOutOf(sendLatencyLines(senders[0], all), pointers(receivers), pointers(receivers));
    res.fanSpread = fan.spread;
    res.writeToLast = fan.writeToLast;

    // Flooded with lines: 31 senders keep writing at a rate that keeps the queue below its mark
    // for the whole measurement, so the server never stops reading.
    more = connectPeers(kInputPort, kSenders - 1, false, false);
    senders.insert(senders.end(), more.begin(), more.end());
    if (more.empty() || server.waitCount("list1.count", kSenders, 10000) < kSenders)
        die("flood senders not listed");
    clearLines(receivers);
    double nextWrite = now();
    int seq = 0;
    res.linesFloodGap =
        pacedGaps("flooded with lines", pointers(senders, &receivers), receivers[0], [&] {
            if (now() < nextWrite || res.linesOffered >= 0.9 * kMarkLines) return;
            nextWrite += kFloodPeriod;
            for (size_t i = 0; i < senders.size(); ++i)
                for (int k = 0; k < kFloodLinesPerWrite; ++k)
                    senders[i].queue(makeLine("F", static_cast<int>(i), seq++) + '\n');
            res.linesOffered += static_cast<double>(senders.size() * kFloodLinesPerWrite);
        });
    if (res.linesOffered >= 0.9 * kMarkLines) die("the line flood came too close to the mark");

    // Flooded with bytes: senders write one unending line each as fast as the server reads it;
    // past 64 KiB the server drops it, so the queue does not grow and reading never pauses.
    // Measured over a fixed time: the ticks are what is in question.
    const std::string chunk(64 * 1024, 'x');
    for (size_t flooders : {size_t{1}, senders.size() - 1}) {
        clearLines(receivers);
        const pid_t ws = findWineserver(getenv("WINEPREFIX") ? getenv("WINEPREFIX") : "");
        const long wsRss0 = ws > 0 ? vmRssKiB(ws) : -1;
        const uint64_t consumed0 = consumedBytes(senders);
        std::vector<uint64_t> before;
        for (const Peer& p : senders)
            before.push_back(p.written - connectionBacklog(localPort(p.fd), kInputPort));
        const double t0 = now();
        double tEnd = t0;
        pumpUntil(pointers(senders, &receivers), kByteFloodSeconds + 1, [&] {
            for (size_t i = 1; i <= flooders; ++i)
                if (senders[i].unwritten() < chunk.size()) senders[i].queue(chunk);
            tEnd = now();
            return tEnd - t0 >= kByteFloodSeconds;
        });
        ByteFlood f;
        f.senders = static_cast<int>(flooders);
        f.readMiBps =
            static_cast<double>(consumedBytes(senders) - consumed0) / (tEnd - t0) / (1024 * 1024);
        f.lines = receivers[0].lines.size();
        // The edges of the window count: a tick may not come at all.
        double last = t0;
        for (double t : receivers[0].lineTimes) {
            f.maxGap = std::max(f.maxGap, 1000 * (t - last));
            last = t;
        }
        f.maxGap = std::max(f.maxGap, 1000 * (tEnd - last));
        // How evenly the server read the flooding senders.
        std::vector<double> perSender;
        for (size_t i = 1; i <= flooders; ++i)
            perSender.push_back(
                static_cast<double>(senders[i].written - before[i] -
                                    connectionBacklog(localPort(senders[i].fd), kInputPort)) /
                (1024 * 1024));
        f.leastMiB = percentile(perSender, 0);
        f.medianMiB = median(perSender);
        f.mostMiB = percentile(perSender, 100);
        note(
            "  pacing, %d senders flooding at full speed: %zu lines in %.0f s, server reading %.0f "
            "MiB/s; per sender least %.1f, median %.1f, most %.1f MiB; wineserver VmRSS %ld -> %ld "
            "KiB",
            f.senders, f.lines, kByteFloodSeconds, f.readMiBps, f.leastMiB, f.medianMiB, f.mostMiB,
            wsRss0, ws > 0 ? vmRssKiB(ws) : -1);
        res.byteFloods.push_back(f);
        // Let the server read what the flood left in the kernel before the next round.
        for (size_t i = 1; i <= flooders; ++i) senders[i].out.resize(senders[i].outPos);
        pumpUntil(pointers(senders, &receivers), 5, [&] {
            const TcpBacklog b = tcpBacklog(kInputPort);
            return b.unread + b.unsent == 0;
        });
    }
    res.errorLogLines = server.errorLogLines();
    note("  IpError.txt holds %ld lines after the floods", res.errorLogLines);
    closePeers(senders);
    closePeers(receivers);
    return res;
}

// ---- event streams (/events) ----

constexpr int kStreams = 31;
// The lines a stream misses while away. A step sends one line, at least 50 ms apart, so they
// take that many steps: 100,000 would take 5,000 s; 3,000 keep these rows within about three
// minutes a program, the other rows' lines among them.
constexpr int kResumeLines = 3000;

struct EventFigures {
    Spread fanToStreams;           // a line's first TCP receipt to its last stream receipt, ms
    Spread fanTcp;                 // the same lines' first to last TCP receipt, ms
    Spread tcpAlone, withStreams;  // pacing gap errors, 31 TCP receivers without/with streams
    double resumeMs = 0;           // from the request until the last missed line arrived
    double resumeFirstMs = 0;      // the same until the first one arrived
    int resumePauses = 0;          // waits of half a step or more between two of its reads
    double resumeKiB = 0;          // what the stream read until then
};

// GET /events on the status port, after `lastId` when given; the answer is read as lines.
Peer requestStream(std::optional<uint64_t> lastId) {
    std::vector<Peer> p = connectPeers(kEventsStatusPort, 1, true, true);
    if (p.empty()) die("cannot connect to the status port");
    std::string request = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (lastId) request += "Last-Event-ID: " + std::to_string(*lastId) + "\r\n";
    p[0].queue(request + "\r\n");
    return std::move(p[0]);
}

// The id of the event that carried the line; 0 while none did.
uint64_t eventId(const Peer& stream, const std::string& line) {
    for (size_t i = 1; i < stream.lines.size(); ++i)
        if (stream.lines[i] == "data: " + line && stream.lines[i - 1].rfind("id: ", 0) == 0)
            return std::stoull(stream.lines[i - 1].substr(4));
    return 0;
}

// One server with Events 1, its 31 TCP receivers connected throughout: a stream takes one line
// and leaves; pacing without streams, then with 31, and the fan-out to them; the streams leave,
// lines are sent until the first one missed kResumeLines, and it comes back for them.
EventFigures eventStreams() {
    const char* program = benchProgram == Program::Linux ? "korrin-relay" : "Korrin Server";
    // The place of the stream that left is kept for ResumeSeconds: longer than these rows.
    Server server(kPacingInterval, {{"Events", "1"}, {"ResumeSeconds", "600"}}, false,
                  kEventsInputPort, kEventsStatusPort);
    std::vector<Peer> receivers = connectPeers(kEventsInputPort + 1, kReceivers, true, true);
    std::vector<Peer> senders = connectPeers(kEventsInputPort, 1, false, false);
    if (receivers.empty() || senders.empty() ||
        server.waitCount("list3.count", kReceivers, 10000) < kReceivers ||
        server.waitCount("list1.count", 1, 10000) < 1)
        die("events: the receivers and the sender were not listed");
    const std::vector<Peer*> tcp = pointers(senders, &receivers);
    EventFigures f;

    Peer away = requestStream(std::nullopt);
    std::vector<Peer*> withAway = tcp;
    withAway.push_back(&away);
    const std::string first = makeLine("A", 0, 0);
    senders[0].queue(first + '\n');
    uint64_t leftAfter = 0;
    if (!pumpUntil(withAway, 10, [&] {
            leftAfter = eventId(away, first);
            return leftAfter != 0 && receivers[0].linesSeen > 0;
        }))
        die("events: the first stream did not get its line");
    blackbox::closeFd(away.fd);
    const size_t seenAtLeave = receivers[0].linesSeen;

    clearLines(receivers);
    queueBatch(senders[0]);
    f.tcpAlone = pacedGaps("Events 1, 31 receivers, no stream", tcp, receivers[0], [] {});

    // One request at a time: the status port serves 16 at once, streams aside.
    std::vector<Peer> streams;
    for (int i = 0; i < kStreams; ++i) {
        streams.push_back(requestStream(std::nullopt));
        std::vector<Peer*> one{&streams.back()};
        const auto& lines = streams.back().lines;
        if (!pumpUntil(one, 10, [&] {
                return std::find(lines.begin(), lines.end(), "retry: 2000") != lines.end();
            }))
            die("events: stream " + std::to_string(i + 1) + " did not begin");
    }
    const std::vector<Peer*> everyone = pointers(senders, &receivers, &streams);
    clearLines(receivers);
    queueBatch(senders[0]);
    f.withStreams = pacedGaps("31 receivers and 31 streams", everyone, receivers[0], [] {});
    const std::vector<double> writes = sendLatencyLines(senders[0], everyone);
    f.fanToStreams = fanOutOf(writes, pointers(receivers), pointers(streams)).spread;
    f.fanTcp = fanOutOf(writes, pointers(receivers), pointers(receivers)).spread;
    closePeers(streams);

    const size_t sent = receivers[0].linesSeen - seenAtLeave;
    if (sent > static_cast<size_t>(kResumeLines)) die("events: more lines went than the resume");
    for (size_t i = sent; i < static_cast<size_t>(kResumeLines); ++i)
        senders[0].queue(makeLine("R", 0, static_cast<int>(i)) + '\n');
    clearLines(receivers);
    const double perLine = 2.0 * kPacingInterval / 1000;
    if (!pumpUntil(tcp, 10 + perLine * static_cast<double>(kResumeLines - sent),
                   [&] { return receivers[0].linesSeen >= seenAtLeave + kResumeLines; }))
        die("events: the lines of the resume were not sent");
    note("  events, %s: %d lines sent while a stream was away", program, kResumeLines);

    // Back after the id it had: every line since, then the live ones (none come meanwhile).
    const std::string lastId = "id: " + std::to_string(leftAfter + kResumeLines);
    const double asked = now();
    Peer back = requestStream(leftAfter);
    std::vector<Peer*> one{&back};
    size_t at = 0;  // lines looked at; the data line follows the id
    if (!pumpUntil(one, 60, [&] {
            for (; at + 1 < back.lines.size(); ++at)
                if (back.lines[at] == lastId) return true;
            return false;
        }))
        die("events: the stream back after id " + std::to_string(leftAfter) + " did not get " +
            lastId + " within 60 s (" + std::to_string(back.lines.size()) + " lines)");
    f.resumeMs = 1000 * (back.lineTimes[at + 1] - asked);
    // Every missed line once, in order: else the time is not that of this resume.
    uint64_t expect = leftAfter + 1;
    double bytes = 0;
    for (size_t i = 0; i <= at + 1; ++i) {
        bytes += static_cast<double>(back.lines[i].size() + 1);
        if (i > 0 && back.lineTimes[i] - back.lineTimes[i - 1] >= kPacingInterval / 2000.0)
            ++f.resumePauses;
        if (expect == leftAfter + 1 && back.lines[i].rfind("id: ", 0) == 0)
            f.resumeFirstMs = 1000 * (back.lineTimes[i] - asked);
        if (back.lines[i].rfind("event: lost", 0) == 0) die("events: the resume lost lines");
        if (back.lines[i].rfind("id: ", 0) == 0 &&
            back.lines[i] != "id: " + std::to_string(expect++))
            die("events: the resume gave " + back.lines[i] + " where id " +
                std::to_string(expect - 1) + " was due");
    }
    f.resumeKiB = bytes / 1024;
    note(
        "  events, %s: resumed %d lines (%.0f KiB) in %.1f ms, the first after %.1f ms, %d "
        "pauses of 25 ms or more",
        program, kResumeLines, f.resumeKiB, f.resumeMs, f.resumeFirstMs, f.resumePauses);
    blackbox::closeFd(back.fd);
    closePeers(senders);
    closePeers(receivers);
    return f;
}

// ---- the spool filled, killed and read again ----

// RSS is taken at these lines queued, then the spool is filled to about 1 GiB.
constexpr uint64_t kFillSteps[] = {1000000, 10000000, 0};
constexpr double kFillBytes = 1024.0 * 1024 * 1024;
constexpr int kFillLimitMiB = 2048;  // the spool's bound, above what is filled
constexpr int kFillBlockLines = 1000;

struct FillStep {
    uint64_t queued = 0;  // lines the status page counted as queued
    long rssKiB = 0;
};

struct FillFigures {
    long rssIdleKiB = 0;
    std::vector<FillStep> steps;
    uint64_t fed = 0;        // lines the server read
    double feedSeconds = 0;  // the time it took, without the pauses for the figures
    double feedCpu = 0;      // the server's CPU meanwhile, % of one core
    uint64_t bytes = 0, segments = 0, queuedAtKill = 0;
    double recoverySeconds = 0, emptyStartSeconds = 0;
    uint64_t recovered = 0;
    long rssRecoveredKiB = 0;
    bool logged = false;  // the log says how many lines it recovered
};

uint64_t queuedLines(const nlohmann::json& status) {
    return status.is_object() && status["queue"]["lines"].is_number()
               ? status["queue"]["lines"].get<uint64_t>()
               : 0;
}

// Pumps the senders, each topped up from its block of lines, until the server has read
// `total` lines from them in all; false when a connection broke or ten minutes passed.
bool feedLines(std::vector<Peer>& senders, const std::vector<std::string>& blocks, uint64_t& fed,
               uint64_t total) {
    const size_t lineBytes = kLineText + 1;
    return pumpUntil(pointers(senders), 600, [&] {
        bool allWritten = true;
        for (size_t i = 0; i < senders.size(); ++i) {
            Peer& p = senders[i];
            if (fed < total && p.unwritten() < blocks[i].size()) {
                const uint64_t n = std::min<uint64_t>(kFillBlockLines, total - fed);
                p.queue(n == kFillBlockLines ? blocks[i] : blocks[i].substr(0, n * lineBytes));
                fed += n;
            }
            allWritten = allWritten && p.unwritten() == 0;
        }
        return fed == total && allWritten && consumedBytes(senders) == writtenBytes(senders);
    });
}

// Fills a spool through the server (Timer 1000, no receivers: a line a second leaves), takes
// RSS along the way, kills the server with SIGKILL and starts it again on the same folder.
FillFigures fillKillRecover() {
    SpoolFolder folder("fill");
    const Settings spool = folder.settings(200, kFillLimitMiB);
    FillFigures f;
    {
        Server server(1000, spool);
        sleepSeconds(1);
        f.rssIdleKiB = vmRssKiB(server.pid());
        std::vector<Peer> senders = connectPeers(kInputPort, kSenders, false, false);
        if (senders.empty() || server.waitCount("list1.count", kSenders, 10000) < kSenders)
            die("fill: the senders were not listed");
        std::vector<std::string> blocks;
        for (int i = 0; i < kSenders; ++i) blocks.push_back(senderLines(i, kFillBlockLines));
        nlohmann::json st;
        for (uint64_t step : kFillSteps) {
            // The last step: about 1 GiB at the bytes per line the spool took so far.
            const uint64_t target =
                step ? step
                     : static_cast<uint64_t>(
                           kFillBytes * static_cast<double>(spoolNumber(st, "last_seq")) /
                           static_cast<double>(std::max<uint64_t>(1, spoolNumber(st, "bytes"))));
            const double t0 = now(), cpu0 = cpuSeconds(server.pid());
            if (!feedLines(senders, blocks, f.fed, target)) die("fill: the feeding stopped");
            f.feedSeconds += now() - t0;
            f.feedCpu += cpuSeconds(server.pid()) - cpu0;
            st = pumpUntilStatus(pointers(senders), 10, [&](const nlohmann::json& j) {
                const uint64_t last = spoolNumber(j, "last_seq");
                return last >= f.fed && spoolNumber(j, "synced_seq") == last;
            });
            if (spoolNumber(st, "synced_seq") < f.fed)
                die("fill: the spool did not keep the lines: " +
                    (st.is_object() ? st["spool"].dump() : "no status"));
            f.steps.push_back({queuedLines(st), vmRssKiB(server.pid())});
            note(
                "  spool filled with %llu lines (%llu queued, %.0f MiB on disk) in %.1f s, RSS %ld "
                "KiB",
                static_cast<unsigned long long>(f.fed),
                static_cast<unsigned long long>(f.steps.back().queued),
                static_cast<double>(spoolNumber(st, "bytes")) / (1024 * 1024), f.feedSeconds,
                f.steps.back().rssKiB);
        }
        f.feedCpu = 100 * f.feedCpu / f.feedSeconds;
        f.bytes = spoolNumber(st, "bytes");
        f.segments = spoolNumber(st, "segments");
        f.queuedAtKill = queuedLines(statusJson());
        server.killHard();
        closePeers(senders);
    }
    {
        Server server(1000, spool, true);
        f.recoverySeconds = server.startSeconds();
        f.recovered = queuedLines(statusJson());
        f.logged = server.log().find(" lines recovered") != std::string::npos;
        sleepSeconds(1);
        f.rssRecoveredKiB = vmRssKiB(server.pid());
    }
    note("  killed with %llu lines queued; started again in %.3f s with %llu, RSS %ld KiB",
         static_cast<unsigned long long>(f.queuedAtKill), f.recoverySeconds,
         static_cast<unsigned long long>(f.recovered), f.rssRecoveredKiB);
    SpoolFolder empty("empty");
    Server server(1000, empty.settings(200, kFillLimitMiB), true);
    f.emptyStartSeconds = server.startSeconds();
    return f;
}

// ---- report ----

std::string today() {
    time_t t = time(nullptr);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%d", gmtime(&t));
    return buf;
}

// The one-minute load average: the machine may be shared.
std::string loadAverage() {
    double load = -1;
    if (FILE* f = fopen("/proc/loadavg", "r")) {
        if (fscanf(f, "%lf", &load) != 1) load = -1;
        fclose(f);
    }
    char buf[16];
    snprintf(buf, sizeof buf, "%.1f", load);
    return buf;
}

// 1234567 as "1,234,567".
std::string grouped(double v) {
    std::string digits = std::to_string(static_cast<long long>(v + 0.5));
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3)
        digits.insert(static_cast<size_t>(i), ",");
    return digits;
}

// Gap errors, and the shortest gap seen (no gap may be shorter than the interval).
std::string ms(const Spread& s, int digits = 1) {
    char buf[96];
    snprintf(buf, sizeof buf, "%+.*f / %+.*f ms, shortest gap %.*f", digits, s.median, digits,
             s.p99, digits, kPacingInterval + s.least);
    return buf;
}

std::string msAbs(const Spread& s, int digits = 1) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.*f / %.*f", digits, s.median, digits, s.p99);
    return buf;
}

std::string resumeText(const EventFigures& f) {
    char buf[160];
    snprintf(buf, sizeof buf,
             "%.1f ms (the first missed line after %.1f ms; %.0f KiB read, with %d pauses of 25 "
             "ms or more)",
             f.resumeMs, f.resumeFirstMs, f.resumeKiB, f.resumePauses);
    return buf;
}

void printEventsTable(const EventFigures& native, const EventFigures& wine) {
    printf(
        "\nEvent streams (Events 1; input port %d, status port %d), korrin-relay natively and "
        "Korrin Server under Wine in the same run; Timer 50, 31 TCP receivers connected "
        "throughout:\n\n| measure | korrin-relay | Korrin Server under Wine |\n|---|---|---|\n",
        kEventsInputPort, kEventsStatusPort);
    printf(
        "| fan-out to 31 streams: a line's first TCP receipt to its last stream receipt, median / "
        "p99 (%d lines) | %s ms | %s ms |\n",
        kLatencyLines, msAbs(native.fanToStreams, 2).c_str(), msAbs(wine.fanToStreams, 2).c_str());
    printf(
        "| the same lines among the 31 TCP receivers: first to last receipt, median / p99 | %s ms "
        "| %s ms |\n",
        msAbs(native.fanTcp, 2).c_str(), msAbs(wine.fanTcp, 2).c_str());
    printf(
        "| pacing, Timer 50, idle input, 31 TCP receivers, no stream: gap error median / p99 (%d "
        "gaps), shortest gap | %s | %s |\n",
        kPacingLines - 1, ms(native.tcpAlone, 2).c_str(), ms(wine.tcpAlone, 2).c_str());
    printf("| pacing, the same with 31 streams: gap error median / p99, shortest gap | %s | %s |\n",
           ms(native.withStreams, 2).c_str(), ms(wine.withStreams, 2).c_str());
    printf(
        "| resume: a stream back with Last-Event-ID after %s lines were sent while it was away "
        "(as many steps at Timer 50: the largest that keeps these rows within about 3 minutes a "
        "program), from the request until its last missed line arrived | %s | %s |\n",
        grouped(kResumeLines).c_str(), resumeText(native).c_str(), resumeText(wine).c_str());
}

const char kEventsMethod[] = R"(
The event stream figures (a server of their own, on their own ports, with Events 1 and
ResumeSeconds 600; 31 TCP receivers and one sender connected throughout):
- a first stream takes one line, notes its id and leaves; the lines of every row below count
  among the ones it misses.
- pacing: the 31-receiver batch (300 gaps, measured at a TCP receiver) with no stream, then
  again with 31 streams reading.
- fan-out: the fan-out lines (one every 100 ms) with the 31 streams reading; per line, the time
  from its first receipt at a TCP receiver to its last at a stream, every peer stamped by this
  one process's clock (CLOCK_MONOTONIC), and from the first to the last TCP receipt.
- resume: the 31 streams leave and lines are sent until the first stream missed 3,000; it comes
  back with Last-Event-ID and the time runs from the request until the data of the last missed
  id arrived, every missed id once and in order (checked), and the pauses of half a step or
  more between two reads of the stream meanwhile. A step sends one line, so 100,000
  missed lines would take 5,000 s of steps at Timer 50: that size is not measured.
)";

const char kMethod[] = R"(
How the figures are measured (a fresh server under Wine for each ingest run and one for the
pacing rows; every peer is a Linux socket on 127.0.0.1, time stamps from CLOCK_MONOTONIC):
- ingest, in bursts on a fresh server each, repeated until they add up to 2 s of reading (under
  Wine 5 bursts); the rate is all their lines over all their time. In a burst 31 senders
  connect and are listed in List1; then each writes its share of 110,019
  lines (40 bytes and LF) as fast as its socket takes them. The time runs from the first byte to
  the moment the server has read 100,000 lines: bytes written minus those still waiting in the
  senders' send queues and the server's receive queues (/proc/net/tcp). Half a second later the
  count is taken again: past the mark the server stops reading, so it stays put (high-water
  row), and the probe's dump then shows the same count in List2.
- ncat --broker: the same 31 senders write the same lines to `ncat --broker`, which copies each
  line to every other client; the senders drain what they get, and the time runs until one
  reader has 100,000 lines.
- pacing: a receiver stamps each line as it arrives; the gap error is the gap between two
  consecutive lines minus 50 ms, over 300 gaps of a batch queued at once (a step is never due
  sooner than 50 ms after the last one ran, so errors are late ones; the shortest gap is the
  least seen, as the receiver measures it over loopback). "Flooded with lines":
  31 senders keep writing 2 lines each every 20 ms, below the mark for the whole measurement.
  "At full speed": senders write bytes without a line end as fast as the server reads them
  (it drops such a line past 64 KiB, so the queue does not grow and reading never pauses); the
  row counts the lines sent in 10 s and the longest wait for one.
- fan-out: a sender writes one line every 100 ms (so the queue is empty); per line, the time
  from the first to the last of 31 receivers getting it, and from the write to the last receipt
  (this includes the wait for the next tick, 0 to 50 ms).
- memory: VmRSS of the KorrinServer.exe process (found in /proc by its command line) one second
  after start and once List2 shows the queue at its mark.
- idle CPU: utime + stime of that process and of the prefix's wineserver over 10 s, no peers.
- status page: a client thread asks for /status.json 50 times a second, each time on a new
  connection, while the 31-receiver pacing batch runs again and during one more ingest run per
  ingest run above (its own fresh server).
)";

struct Options {
    int runs = 5;
    bool spoolOnly = false;   // only the spool's figures and what they are compared with
    bool ingestOnly = false;  // only memory-only ingest: korrin-relay, the floor and ncat
    bool eventsOnly = false;  // only the event stream rows, both programs
    // Set: only the rows a change of the relay core must keep, of korrin-relay and this
    // other build of it, in turns.
    std::string compareWith;
    std::string labelA = "this build", labelB;
};

void noteRun(const char* what, int round, const IngestRun& r) {
    note(
        "  %s run %d: %.0f lines/s (%d bursts, %.2f s), server CPU %.0f%%, %ld page faults, RSS "
        "%ld -> %ld KiB",
        what, round, r.linesPerSecond, r.bursts, r.seconds, r.serverCpu, r.faults, r.rssIdleKiB,
        r.rssMarkKiB);
}

// VmRSS one second after the start and at the high-water mark, and the lines queued there, over
// the ingest runs of one program.
struct MarkMemory {
    std::vector<double> idleKiB, markKiB, queued;
    void add(const IngestRun& r) {
        idleKiB.push_back(static_cast<double>(r.rssIdleKiB));
        markKiB.push_back(static_cast<double>(r.rssMarkKiB));
        queued.push_back(static_cast<double>(r.queueShown));
    }
    double idleMiB() const { return median(idleKiB) / 1024; }
    double markMiB() const { return median(markKiB) / 1024; }
    double lines() const { return std::max(1.0, median(queued)); }
    double bytesPerLine() const { return (markMiB() - idleMiB()) * 1024 * 1024 / lines(); }
};

// "47 bytes (2.4 -> 6.9 MiB)": per queued line, and VmRSS idle -> at the mark.
std::string memoryText(const MarkMemory& m) {
    char buf[64];
    snprintf(buf, sizeof buf, "%.0f bytes (%.1f -> %.1f MiB)", m.bytesPerLine(), m.idleMiB(),
             m.markMiB());
    return buf;
}

// One program's ingest runs without and with a spool, side by side.
struct SpoolRates {
    std::vector<double> memory, sync200, sync0;
    std::vector<double> syncP99Ms200, syncP99Ms0;          // the spool's flushes, per run
    std::vector<double> faultsMemory, faults200, faults0;  // minor page faults, per run
};

// Keeps the memory-only run of a round, then runs the ingest with a spool at each SpoolSync,
// each on a fresh server and folder.
void spoolIngestRound(SpoolRates& r, const IngestRun& memoryOnly, int round, const char* program) {
    r.memory.push_back(memoryOnly.linesPerSecond);
    r.faultsMemory.push_back(static_cast<double>(memoryOnly.faults));
    for (int sync : {200, 0}) {
        const IngestRun run = ingestThroughServer(1000, 0, nullptr, false, sync);
        (sync ? r.sync200 : r.sync0).push_back(run.linesPerSecond);
        (sync ? r.syncP99Ms200 : r.syncP99Ms0).push_back(run.syncP99Ms);
        (sync ? r.faults200 : r.faults0).push_back(static_cast<double>(run.faults));
        note(
            "  %s run %d with Spool, SpoolSync %d: %.0f lines/s (%d bursts, %.2f s), server CPU "
            "%.0f%%, flush p99 %.2f ms, %ld page faults",
            program, round, sync, run.linesPerSecond, run.bursts, run.seconds, run.serverCpu,
            run.syncP99Ms, run.faults);
    }
}

// Pacing with the spool off and on, and a spool filled and recovered, for one program.
struct SpoolPacing {
    Spread off, on;
};
SpoolPacing spoolPacing(const Options& o, const PacingResults& full) {
    SpoolPacing r;
    r.off = o.spoolOnly ? pacing31("idle input, 31 receivers, no spool", {}) : full.idleGap;
    SpoolFolder folder("pacing");
    r.on = pacing31("idle input, 31 receivers, Spool", folder.settings(200));
    return r;
}

void printSpoolTable(const Options& o, const SpoolRates& native, const SpoolRates& wine,
                     const std::vector<double>& floor, const SpoolPacing& nativePacing,
                     const SpoolPacing& winePacing, const FillFigures& fill,
                     const FillFigures& wineFill);

const char kSpoolMethod[] = R"(
The spool's figures (its folder under build/, on the disk; a fresh folder for each run):
- ingest with Spool: the ingest load and measure above on a server whose Spool is set, at
  SpoolSync 200 (flushed to stable storage every 200 ms) and 0 (after each read); each run then
  waits until the status page shows the 100,000 lines written and flushed. The lines (5.6 MB in
  the spool) reach the page cache within the measured time; at SpoolSync 200 the flush mostly
  comes after it, at SpoolSync 0 every read's flush is inside it. Flush p99 is the status
  page's sync_p99_ms after the run; page faults are the server's minor faults (memory touched
  for the first time) from the first byte to the mark. Memory only, the two spooled runs and
  the bare reader take turns in every round.
- bare reader: bench/bare_reader, a process of its own started for each burst, listens on its
  own port and reads the same load with epoll, one 64 KiB recv per readiness, counting line ends and keeping nothing; the
  time is measured the same way, from the kernel's socket queues.
- pacing: the 31-receiver batch with idle input on a server with the Spool set (SpoolSync 200).
- filled spool: a server with SpoolLimit 2048 and Timer 1000 (a line a second leaves) is fed by
  31 senders to 1 M and 10 M queued lines and then to about 1 GiB on disk, each step until the
  status page shows every line flushed; VmRSS at each step. Then SIGKILL, and the same program
  started again on the folder: the time from its start until its input port listens (it opens
  the port once the spool is read), the lines its status page counts as queued, and VmRSS a
  second later. The files were just written, so they are read from the page cache. An empty
  spool's start is given for comparison; under Wine both include the harness's check, a Wine
  program run before the start, that no other copy of the server runs.
)";

std::string ratesText(const std::vector<double>& v);
std::string percentOf(double part, double whole);

// Memory-only ingest natively, korrin-relay, the floor and ncat taking turns in every round:
// the quick check of the read path.
int runIngestOnly(const Options& o) {
    benchProgram = Program::Linux;
    note("relay_bench: %d rounds of korrin-relay, the bare reader and ncat --broker", o.runs);
    const std::string loadBefore = loadAverage();
    std::vector<double> relay, floor, broker;
    for (int i = 0; i < o.runs; ++i) {
        const IngestRun r = ingestThroughServer(1000, 0, nullptr);
        noteRun("korrin-relay", i + 1, r);
        relay.push_back(r.linesPerSecond);
        const IngestRun f = ingestFloor();
        noteRun("bare reader", i + 1, f);
        floor.push_back(f.linesPerSecond);
        const IngestRun b = ingestThroughBroker();
        noteRun("ncat --broker", i + 1, b);
        broker.push_back(b.linesPerSecond);
    }
    printf(
        "Ingest, %s, %ld cores, load average %s before and %s after: 31 senders, bursts of "
        "100,000 lines of 40 bytes, each on a fresh reader, until %.1f s of reading per run; "
        "median of %d runs (runs least..most)\n\n"
        "| reader | lines/s | share of the floor |\n|---|---|---|\n",
        today().c_str(), sysconf(_SC_NPROCESSORS_ONLN), loadBefore.c_str(), loadAverage().c_str(),
        ingestSeconds, o.runs);
    printf("| korrin-relay, memory only | %s | %s |\n", ratesText(relay).c_str(),
           percentOf(median(relay), median(floor)).c_str());
    printf("| floor: bare reader | %s | 100 %% |\n", ratesText(floor).c_str());
    printf("| ncat --broker | %s | %s |\n", ratesText(broker).c_str(),
           percentOf(median(broker), median(floor)).c_str());
    return 0;
}

// One korrin-relay build of a comparison and its figures.
struct RelayBuild {
    RelayBuild(std::string l, std::string b) : label(std::move(l)), binary(std::move(b)) {}
    std::string label, binary;
    std::vector<double> rates;
    std::vector<double> cpuMs;  // of the process while it read, per 100,000 lines
    MarkMemory memory;
    std::vector<Spread> pacing;  // a batch per round
};

// Where the peers' side bounds the rate (two cores shared with the senders), the reader's own
// CPU per line tells the cost of its read path better.
double cpuMsPerMark(const IngestRun& r) {
    return r.linesPerSecond > 0 ? 1e3 * kMarkLines * r.serverCpu / 100 / r.linesPerSecond : 0;
}

std::string absoluteProgram(const std::string& path) {
    char real[PATH_MAX];
    if (!realpath(path.c_str(), real) || access(real, X_OK) != 0)
        die("no program to run at " + path);
    return real;
}

// The batches of one build: the medians of their medians and of their p99s, the least gap.
Spread pooled(const std::vector<Spread>& batches) {
    std::vector<double> medians, p99s, least;
    for (const Spread& b : batches) {
        medians.push_back(b.median);
        p99s.push_back(b.p99);
        least.push_back(b.least);
    }
    return {median(medians), median(p99s), percentile(least, 0)};
}

// Two korrin-relay builds natively, in turns in every round (who goes first alternates, so
// that a drift of the machine's load weighs on both): the rows a change of the relay core must
// keep, memory-only ingest against the bare reader, memory per queued line and pacing.
int runCompareRelay(const Options& o) {
    benchProgram = Program::Linux;
    RelayBuild builds[2] = {{o.labelA, absoluteProgram(blackbox::relayBinary())},
                            {o.labelB, absoluteProgram(o.compareWith)}};
    note("relay_bench: %d rounds of %s, %s and the bare reader", o.runs, builds[0].label.c_str(),
         builds[1].label.c_str());
    const std::string loadBefore = loadAverage();
    std::vector<double> floor, floorCpuMs;
    auto inTurn = [&](int round, const std::function<void(RelayBuild&)>& measure) {
        for (int k = 0; k < 2; ++k) {
            RelayBuild& b = builds[(round + k) % 2];
            setenv("KORRIN_RELAY_BIN", b.binary.c_str(), 1);  // what the harness starts
            measure(b);
        }
    };
    for (int i = 0; i < o.runs; ++i) {
        inTurn(i, [&](RelayBuild& b) {
            const IngestRun r = ingestThroughServer(1000, 0, nullptr);
            noteRun(b.label.c_str(), i + 1, r);
            b.rates.push_back(r.linesPerSecond);
            b.cpuMs.push_back(cpuMsPerMark(r));
            b.memory.add(r);
        });
        const IngestRun f = ingestFloor();
        noteRun("bare reader", i + 1, f);
        floor.push_back(f.linesPerSecond);
        floorCpuMs.push_back(cpuMsPerMark(f));
        inTurn(i, [&](RelayBuild& b) {
            b.pacing.push_back(pacing31((b.label + ", idle input, 31 receivers").c_str(), {}));
        });
    }
    const RelayBuild &a = builds[0], &b = builds[1];
    const Spread pa = pooled(a.pacing), pb = pooled(b.pacing);
    printf(
        "korrin-relay builds in turns, %s, %ld cores, load average %s before and %s after; %d "
        "rounds, the first to run alternating\n\n- %s: %s\n- %s: %s\n\n"
        "| measure | %s | %s | difference |\n|---|---|---|---|\n",
        today().c_str(), sysconf(_SC_NPROCESSORS_ONLN), loadBefore.c_str(), loadAverage().c_str(),
        o.runs, a.label.c_str(), a.binary.c_str(), b.label.c_str(), b.binary.c_str(),
        a.label.c_str(), b.label.c_str());
    printf(
        "| ingest, memory only: 31 senders, bursts of 100,000 lines of 40 bytes, each on a fresh "
        "server, until %.1f s of reading per run; median of %d runs (runs least..most) | %s | %s | "
        "%+.1f %% |\n",
        ingestSeconds, o.runs, ratesText(a.rates).c_str(), ratesText(b.rates).c_str(),
        100 * (median(b.rates) / std::max(1.0, median(a.rates)) - 1));
    printf(
        "| floor: the bare reader in the same rounds, %s; the ingest median as a share of it | %s "
        "| %s | %+.0f points |\n",
        ratesText(floor).c_str(), percentOf(median(a.rates), median(floor)).c_str(),
        percentOf(median(b.rates), median(floor)).c_str(),
        100 * (median(b.rates) - median(a.rates)) / std::max(1.0, median(floor)));
    printf(
        "| CPU of the process while it read, per 100,000 lines, median of %d runs (the bare "
        "reader: %.1f ms) | %.1f ms | %.1f ms | %+.1f %% |\n",
        o.runs, median(floorCpuMs), median(a.cpuMs), median(b.cpuMs),
        100 * (median(b.cpuMs) / std::max(1e-9, median(a.cpuMs)) - 1));
    printf(
        "| memory per queued 40-byte line: VmRSS at the mark minus idle, median of %d runs (%s and "
        "%s lines queued) | %s | %s | %+.0f bytes |\n",
        o.runs, grouped(a.memory.lines()).c_str(), grouped(b.memory.lines()).c_str(),
        memoryText(a.memory).c_str(), memoryText(b.memory).c_str(),
        b.memory.bytesPerLine() - a.memory.bytesPerLine());
    printf(
        "| pacing, Timer 50, idle input, 31 receivers: gap error median / p99 (medians of %d "
        "batches of %d gaps), shortest gap of all | %s ms | %s ms | %+.1f / %+.1f ms, shortest gap "
        "%+.1f ms |\n",
        o.runs, kPacingLines - 1, ms(pa).c_str(), ms(pb).c_str(), pb.median - pa.median,
        pb.p99 - pa.p99, pb.least - pa.least);
    return 0;
}

// The event stream rows alone, korrin-relay first, then Korrin Server under Wine.
int runEventsOnly() {
    if (blackbox::windowsBuildDir().empty())
        die("KORRIN_WINDOWS_BIN must name the bin dir of a Windows build");
    note("relay_bench: the event stream rows, korrin-relay and Korrin Server under Wine");
    const std::string loadBefore = loadAverage();
    benchProgram = Program::Linux;
    const EventFigures native = eventStreams();
    benchProgram = Program::Windows;
    const EventFigures wine = eventStreams();
    printf("Event streams, %s, %ld cores, load average %s before and %s after\n", today().c_str(),
           sysconf(_SC_NPROCESSORS_ONLN), loadBefore.c_str(), loadAverage().c_str());
    printEventsTable(native, wine);
    fputs(kEventsMethod, stdout);
    return 0;
}

int runBenchmark(const Options& o) {
    const int runs = o.runs;
    if (blackbox::windowsBuildDir().empty())
        die("KORRIN_WINDOWS_BIN must name the bin dir of a Windows build");
    note("relay_bench: %d ingest runs each through Korrin Server%s, then pacing", runs,
         o.spoolOnly ? " with and without a spool" : " and ncat --broker");
    const std::string loadBefore = loadAverage();
    std::optional<CpuShare> idle1000;
    std::vector<IngestRun> server;
    std::vector<double> broker, polledRates;
    SpoolRates wineSpool, nativeSpool;
    for (int i = 0; i < runs; ++i) {
        if (!o.spoolOnly) {
            polledRates.push_back(ingestThroughServer(1000, 0, nullptr, true).linesPerSecond);
            note("  server run %d with /status.json polled: %.0f lines/s", i + 1,
                 polledRates.back());
        }
        server.push_back(
            ingestThroughServer(1000, 0, i == 0 && !o.spoolOnly ? &idle1000 : nullptr));
        const IngestRun& r = server.back();
        note(
            "  server run %d: %.0f lines/s (%d bursts, %.2f s; the first one's writes took %.1f "
            "ms), server CPU %.0f%%, read %ld lines before it stopped, List2 %ld lines, RSS %ld "
            "-> %ld KiB",
            i + 1, r.linesPerSecond, r.bursts, r.seconds, 1e3 * r.writeSeconds, r.serverCpu,
            r.readAtStop, r.queueShown, r.rssIdleKiB, r.rssMarkKiB);
        spoolIngestRound(wineSpool, r, i + 1, "server");
    }
    PacingResults p;
    if (!o.spoolOnly) p = pacingAndFanOut();
    const SpoolPacing winePacing = spoolPacing(o, p);
    const FillFigures wineFill = fillKillRecover();
    EventFigures wineEvents, nativeEvents;
    if (!o.spoolOnly) wineEvents = eventStreams();

    // The same core natively: korrin-relay on the same ports, in the same run.
    benchProgram = Program::Linux;
    std::vector<double> nativeRates, floor;
    MarkMemory nativeMemory;
    std::optional<CpuShare> nativeIdle;
    for (int i = 0; i < runs; ++i) {
        const IngestRun r =
            ingestThroughServer(1000, 0, i == 0 && !o.spoolOnly ? &nativeIdle : nullptr);
        noteRun("korrin-relay", i + 1, r);
        nativeRates.push_back(r.linesPerSecond);
        nativeMemory.add(r);
        floor.push_back(ingestFloor().linesPerSecond);
        note("  bare reader run %d: %.0f lines/s", i + 1, floor.back());
        if (!o.spoolOnly) {
            broker.push_back(ingestThroughBroker().linesPerSecond);
            note("  ncat run %d: %.0f lines/s", i + 1, broker.back());
        }
        spoolIngestRound(nativeSpool, r, i + 1, "korrin-relay");
    }
    PacingResults n;
    if (!o.spoolOnly) n = pacingAndFanOut();
    const SpoolPacing nativePacing = spoolPacing(o, n);
    const FillFigures fill = fillKillRecover();
    if (!o.spoolOnly) nativeEvents = eventStreams();
    benchProgram = Program::Windows;

    printf(
        "Relay benchmark, %s, %ld cores, load average %s before and %s after; Korrin Server "
        "under Wine, Linux peers on 127.0.0.1\n\n",
        today().c_str(), sysconf(_SC_NPROCESSORS_ONLN), loadBefore.c_str(), loadAverage().c_str());
    if (o.spoolOnly) {
        printSpoolTable(o, nativeSpool, wineSpool, floor, nativePacing, winePacing, fill, wineFill);
        fputs(kSpoolMethod, stdout);
        return 0;
    }
    if (runs == 0) nativeRates = {0};

    std::vector<double> rates, shown, stopped, writes;
    MarkMemory memory;
    for (const IngestRun& r : server) {
        memory.add(r);
        shown.push_back(r.shownAfter);
        stopped.push_back(static_cast<double>(r.readAtStop));
        writes.push_back(1e3 * r.writeSeconds);
        rates.push_back(r.linesPerSecond);
    }
    auto cpu = [](const CpuShare& c) {
        char buf[96];
        if (c.wineserver >= 0)
            snprintf(buf, sizeof buf, "%.2f %% (wineserver %.2f %%)", c.server, c.wineserver);
        else
            snprintf(buf, sizeof buf, "%.2f %%", c.server);
        return std::string(buf);
    };
    if (runs == 0) rates = broker = shown = stopped = writes = polledRates = {0};

    printf("| measure | Korrin Server | ncat --broker |\n|---|---|---|\n");
    printf(
        "| ingest: 31 senders, 100,000 lines of 40 bytes, Timer 1000, median of %d runs | %s "
        "lines/s (100,000 lines in %.1f ms; runs %s..%s) | %s lines/s (runs %s..%s) |\n",
        runs, grouped(median(rates)).c_str(), 1e3 * kMarkLines / median(rates),
        grouped(*std::min_element(rates.begin(), rates.end())).c_str(),
        grouped(*std::max_element(rates.begin(), rates.end())).c_str(),
        grouped(median(broker)).c_str(),
        grouped(*std::min_element(broker.begin(), broker.end())).c_str(),
        grouped(*std::max_element(broker.begin(), broker.end())).c_str());
    printf(
        "| ingest: the senders' own writes of those lines into the kernel, median | %.1f ms | - "
        "|\n",
        median(writes));
    printf(
        "| high-water mark: lines read when the server stopped reading (%s offered), median | %s "
        "lines | - |\n",
        grouped(static_cast<double>(kLinesPerSender) * kSenders).c_str(),
        grouped(median(stopped)).c_str());
    printf(
        "| window: List2 shows the queue at its mark, after the mark, median of %d (probe polling) "
        "| %.1f s | - |\n",
        runs, median(shown));
    printf(
        "| pacing, Timer 50, idle input, 1 receiver: gap error median / p99 (%d gaps), shortest "
        "gap | %s ms | - |\n",
        kPacingLines - 1, ms(p.idleGap1).c_str());
    printf(
        "| pacing, Timer 50, idle input, 31 receivers: gap error median / p99, shortest gap | %s "
        "ms | - |\n",
        ms(p.idleGap).c_str());
    printf(
        "| status page: /status.json asked %.0f times a second (%ld answers, %ld failed): pacing, "
        "Timer 50, idle input, 31 receivers, gap error p99; ingest as above, median of %d | p99 "
        "%+.1f ms (not asked: %+.1f ms); %s lines/s (not asked: %s, %+.0f %%) | - |\n",
        kStatusPollsPerSecond, p.polls, p.pollsFailed, runs, p.polledGap.p99, p.idleGap.p99,
        grouped(median(polledRates)).c_str(), grouped(median(rates)).c_str(),
        100 * (median(polledRates) / std::max(1.0, median(rates)) - 1));
    printf(
        "| pacing, Timer 50, 31 receivers, input flooded with lines (31 senders, %.0f lines/s): "
        "gap error median / p99, shortest gap | %s ms | - |\n",
        kSenders * kFloodLinesPerWrite / kFloodPeriod, ms(p.linesFloodGap).c_str());
    for (const ByteFlood& f : p.byteFloods)
        printf(
            "| pacing, Timer 50, 31 receivers, input flooded at full speed by %d sender%s (an "
            "unending line each, read at %.0f MiB/s and dropped; MiB read per sender: least %.0f, "
            "median %.0f, most %.0f): lines sent in %.0f s, longest wait for a line | %zu lines "
            "(%.0f expected), longest wait %.0f ms | - |\n",
            f.senders, f.senders == 1 ? "" : "s", f.readMiBps, f.leastMiB, f.medianMiB, f.mostMiB,
            kByteFloodSeconds, f.lines, kByteFloodSeconds * 1000 / kPacingInterval, f.maxGap);
    printf(
        "| fan-out, 31 receivers: first to last receipt of a line, median / p99 (%d lines) | %s ms "
        "| - |\n",
        kLatencyLines, msAbs(p.fanSpread).c_str());
    printf(
        "| sender's write to the last receiver's receipt, empty queue, Timer 50, median / p99 | %s "
        "ms | - |\n",
        msAbs(p.writeToLast).c_str());
    printf(
        "| memory (VmRSS): idle -> queue at its mark (%s lines of 40 bytes), median of %d | %.1f "
        "-> %.1f MiB (+%.1f MiB, %.0f bytes per queued line) | - |\n",
        grouped(memory.lines()).c_str(), runs, memory.idleMiB(), memory.markMiB(),
        memory.markMiB() - memory.idleMiB(), memory.bytesPerLine());
    printf("| idle CPU over %.0f s, no peers, Timer 1000 | %s of one core | - |\n", kIdleSeconds,
           idle1000 ? cpu(*idle1000).c_str() : "-");
    printf("| idle CPU over %.0f s, no peers, Timer 50 | %s of one core | - |\n", kIdleSeconds,
           cpu(p.idleCpu).c_str());
    printf(
        "\nkorrin-relay, natively on Linux (epoll, timerfd), the same measures in the same run:\n\n"
        "| measure | korrin-relay | Korrin Server under Wine | ncat --broker "
        "|\n|---|---|---|---|\n");
    printf(
        "| ingest: 31 senders, 100,000 lines of 40 bytes, median of %d runs | %s lines/s | %s "
        "lines/s | %s lines/s |\n",
        runs, grouped(median(nativeRates)).c_str(), grouped(median(rates)).c_str(),
        grouped(median(broker)).c_str());
    printf(
        "| pacing, Timer 50, idle input, 31 receivers: gap error median / p99, shortest gap | %s "
        "ms | %s ms | - |\n",
        ms(n.idleGap).c_str(), ms(p.idleGap).c_str());
    printf(
        "| pacing with /status.json asked 50 times a second: gap error p99 | %+.2f ms | %+.1f ms | "
        "- |\n",
        n.polledGap.p99, p.polledGap.p99);
    printf("| fan-out, 31 receivers: first to last receipt, median / p99 | %s ms | %s ms | - |\n",
           msAbs(n.fanSpread).c_str(), msAbs(p.fanSpread).c_str());
    printf(
        "| memory per queued 40-byte line (VmRSS at the mark minus idle, %s lines) | %s | %.0f "
        "bytes | - |\n",
        grouped(nativeMemory.lines()).c_str(), memoryText(nativeMemory).c_str(),
        memory.bytesPerLine());
    printf("| idle CPU over %.0f s, no peers, Timer 1000 / Timer 50 | %s / %s | %s / %s | - |\n",
           kIdleSeconds, nativeIdle ? cpu(*nativeIdle).c_str() : "-", cpu(n.idleCpu).c_str(),
           idle1000 ? cpu(*idle1000).c_str() : "-", cpu(p.idleCpu).c_str());
    printSpoolTable(o, nativeSpool, wineSpool, floor, nativePacing, winePacing, fill, wineFill);
    printEventsTable(nativeEvents, wineEvents);
    fputs(kMethod, stdout);
    fputs(kSpoolMethod, stdout);
    fputs(kEventsMethod, stdout);
    return 0;
}

// "median lines/s (runs least..most)"; "-" for none.
std::string ratesText(const std::vector<double>& v) {
    if (v.empty()) return "-";
    return grouped(median(v)) + " lines/s (runs " + grouped(percentile(v, 0)) + ".." +
           grouped(percentile(v, 100)) + ")";
}

std::string percentOf(double part, double whole) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.0f %%", whole > 0 ? 100 * part / whole : 0.0);
    return buf;
}

std::string faultsText(const std::vector<double>& faults) {
    return "; " + grouped(median(faults)) + " page faults";
}

std::string spooledText(const std::vector<double>& v, const std::vector<double>& memory,
                        const std::vector<double>& syncP99Ms, const std::vector<double>& faults) {
    if (v.empty()) return "-";
    char flush[64];
    snprintf(flush, sizeof flush, "; flush p99 %.2f ms", median(syncP99Ms));
    return ratesText(v) + ", " + percentOf(median(v), median(memory)) + " of memory only" + flush +
           faultsText(faults);
}

std::string pacingText(const SpoolPacing& p) {
    return "no spool " + ms(p.off) + " ms; Spool " + ms(p.on) + " ms";
}

std::string mib(long kib) {
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f", static_cast<double>(kib) / 1024);
    return buf;
}

std::string fillRssText(const FillFigures& f) {
    std::string t = "idle " + mib(f.rssIdleKiB) + " MiB";
    for (const FillStep& s : f.steps)
        t += "; " + grouped(static_cast<double>(s.queued)) + " lines " + mib(s.rssKiB) + " MiB";
    return t + "; after the restart with " + grouped(static_cast<double>(f.recovered)) + " lines " +
           mib(f.rssRecoveredKiB) + " MiB";
}

std::string recoveryText(const FillFigures& f) {
    char buf[320];
    snprintf(buf, sizeof buf,
             "%.3f s with %.2f GiB in %llu segments (an empty spool: %.3f s); %s lines queued "
             "again of %s at the kill%s",
             f.recoverySeconds, static_cast<double>(f.bytes) / (1024.0 * 1024 * 1024),
             static_cast<unsigned long long>(f.segments), f.emptyStartSeconds,
             grouped(static_cast<double>(f.recovered)).c_str(),
             grouped(static_cast<double>(f.queuedAtKill)).c_str(),
             f.logged ? ", as the log says" : "; the log does not say so");
    return buf;
}

std::string feedText(const FillFigures& f) {
    char buf[128];
    snprintf(buf, sizeof buf,
             "%s lines/s (%s lines in %.1f s; the server's CPU %.0f %% of one core)",
             grouped(static_cast<double>(f.fed) / std::max(1e-9, f.feedSeconds)).c_str(),
             grouped(static_cast<double>(f.fed)).c_str(), f.feedSeconds, f.feedCpu);
    return buf;
}

void printSpoolTable(const Options& o, const SpoolRates& native, const SpoolRates& wine,
                     const std::vector<double>& floor, const SpoolPacing& nativePacing,
                     const SpoolPacing& winePacing, const FillFigures& fill,
                     const FillFigures& wineFill) {
    printf(
        "\nThe spool, korrin-relay natively and Korrin Server under Wine in the same run (ingest: "
        "31 senders, 100,000 lines of 40 bytes, Timer 1000, median of %d runs):\n\n"
        "| measure | korrin-relay | Korrin Server under Wine |\n|---|---|---|\n",
        o.runs);
    printf("| ingest, memory only | %s | %s |\n",
           (ratesText(native.memory) + faultsText(native.faultsMemory)).c_str(),
           (ratesText(wine.memory) + faultsText(wine.faultsMemory)).c_str());
    printf(
        "| ingest with Spool, SpoolSync 200 | %s | %s |\n",
        spooledText(native.sync200, native.memory, native.syncP99Ms200, native.faults200).c_str(),
        spooledText(wine.sync200, wine.memory, wine.syncP99Ms200, wine.faults200).c_str());
    printf("| ingest with Spool, SpoolSync 0 (flushed after each read) | %s | %s |\n",
           spooledText(native.sync0, native.memory, native.syncP99Ms0, native.faults0).c_str(),
           spooledText(wine.sync0, wine.memory, wine.syncP99Ms0, wine.faults0).c_str());
    printf(
        "| floor: a bare reader of the same load (epoll, 64 KiB reads, line ends counted, nothing "
        "kept); korrin-relay as a share of it | %s; memory only %s, SpoolSync 200 %s, SpoolSync 0 "
        "%s | - |\n",
        ratesText(floor).c_str(), percentOf(median(native.memory), median(floor)).c_str(),
        percentOf(median(native.sync200), median(floor)).c_str(),
        percentOf(median(native.sync0), median(floor)).c_str());
    printf(
        "| pacing, Timer 50, idle input, 31 receivers: gap error median / p99, shortest gap | %s | "
        "%s |\n",
        pacingText(nativePacing).c_str(), pacingText(winePacing).c_str());
    printf(
        "| restart after SIGKILL with about 1 GiB of 40-byte lines in the spool: from the start "
        "until the input port listens | %s | %s |\n",
        recoveryText(fill).c_str(), recoveryText(wineFill).c_str());
    printf("| VmRSS with lines queued on disk | %s | %s |\n", fillRssText(fill).c_str(),
           fillRssText(wineFill).c_str());
    printf("| feeding that spool: 31 senders, SpoolSync 200 | %s | %s |\n", feedText(fill).c_str(),
           feedText(wineFill).c_str());
}

// One ingest run with the given Timer and receivers, reported on its own: for looking into
// how ticks and reading share the server's thread.
int runIngestProbe(int timerMs, int receiverCount) {
    if (blackbox::windowsBuildDir().empty())
        die("KORRIN_WINDOWS_BIN must name the bin dir of a Windows build");
    IngestRun r = ingestThroughServer(timerMs, receiverCount, nullptr);
    printf(
        "Timer %d, %d receivers: %.0f lines/s (%.2f s to the mark), server CPU %.0f%%, "
        "%ld lines sent before the mark, %ld lines read before it stopped, List2 showed %ld "
        "lines %.1f s after the mark, RSS %ld -> %ld KiB\n",
        timerMs, receiverCount, r.linesPerSecond,
        static_cast<double>(kMarkLines) / r.linesPerSecond, r.serverCpu, r.sentDuring, r.readAtStop,
        r.queueShown, r.shownAfter, r.rssIdleKiB, r.rssMarkKiB);
    return 0;
}

}  // namespace
}  // namespace korrin::bench

int main(int argc, char** argv) {
    korrin::bench::Options o;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            o.runs = atoi(argv[++i]);
        } else if (strcmp(argv[i], "--spool-only") == 0) {
            o.spoolOnly = true;
        } else if (strcmp(argv[i], "--ingest-only") == 0) {
            o.ingestOnly = true;
        } else if (strcmp(argv[i], "--events-only") == 0) {
            o.eventsOnly = true;
        } else if (strcmp(argv[i], "--compare-relay") == 0 && i + 1 < argc) {
            o.compareWith = argv[++i];
        } else if (strcmp(argv[i], "--label-a") == 0 && i + 1 < argc) {
            o.labelA = argv[++i];
        } else if (strcmp(argv[i], "--label-b") == 0 && i + 1 < argc) {
            o.labelB = argv[++i];
        } else if (strcmp(argv[i], "--ingest-seconds") == 0 && i + 1 < argc) {
            korrin::bench::ingestSeconds = atof(argv[++i]);
        } else if (strcmp(argv[i], "--wine-bursts") == 0 && i + 1 < argc) {
            korrin::bench::wineBursts = std::max(1, atoi(argv[++i]));
        } else if (strcmp(argv[i], "--ingest-at") == 0 && i + 2 < argc) {
            signal(SIGPIPE, SIG_IGN);
            return korrin::bench::runIngestProbe(atoi(argv[i + 1]), atoi(argv[i + 2]));
        } else {
            fprintf(stderr,
                    "usage: relay_bench [--runs N] [--spool-only | --ingest-only | --events-only]\n"
                    "                   [--ingest-seconds S] [--wine-bursts N]\n"
                    "       relay_bench --compare-relay OTHER_KORRIN_RELAY [--runs N]\n"
                    "                   [--label-a NAME] [--label-b NAME] [--ingest-seconds S]\n"
                    "       relay_bench --ingest-at TIMER RECEIVERS\n"
                    "  (KORRIN_WINDOWS_BIN names the bin dir of the Windows build)\n");
            return 2;
        }
    }
    if (o.runs < 0) o.runs = 0;
    signal(SIGPIPE, SIG_IGN);
    if (!o.compareWith.empty()) {
        if (o.labelB.empty()) o.labelB = o.compareWith;
        return korrin::bench::runCompareRelay(o);
    }
    if (o.eventsOnly) return korrin::bench::runEventsOnly();
    return o.ingestOnly ? korrin::bench::runIngestOnly(o) : korrin::bench::runBenchmark(o);
}
