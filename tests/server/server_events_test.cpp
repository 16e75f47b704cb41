// The status port's event streams (/events), read as a browser's EventSource reads them, against
// the Windows program under Wine and korrin-relay.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "tests/server/server_harness.h"

namespace korrin::blackbox {
namespace {

using Settings = std::vector<std::pair<std::string, std::string>>;
using SteadyClock = std::chrono::steady_clock;

// One event of a stream: a line with its id, or a notice such as "lost".
struct Event {
    std::string id, type, data;
};
// "id data" for a line, "event type data" for a notice: compared as lists, a gap, a repeat or a
// notice shows at its place.
std::string shown(const Event& e) {
    return e.type.empty() ? e.id + " " + e.data : "event " + e.type + " " + e.data;
}
std::vector<std::string> shown(const std::vector<Event>& events, size_t from = 0) {
    std::vector<std::string> out;
    for (size_t i = from; i < events.size(); ++i) out.push_back(shown(events[i]));
    return out;
}

// A client of GET /events: the answer's head, then the fields of the body as they come.
class EventClient {
  public:
    // query: "?last=7" and the like; headers: whole header lines; from: the local address.
    explicit EventClient(int port, const std::string& query = "",
                         const std::string& headers = "Host: 127.0.0.1\r\n",
                         const std::string& from = "")
        : fd_(from.empty() ? connectTo(port) : connectVia(from, "127.0.0.1", port)) {
        if (fd_ < 0) return;
        sendAll(fd_, "GET /events" + query + " HTTP/1.1\r\n" + headers + "\r\n");
        readUntil([this] { return buf_.find("\r\n\r\n") != std::string::npos; }, 5000);
        const size_t end = buf_.find("\r\n\r\n");
        if (end == std::string::npos) return;
        head_ = buf_.substr(0, end + 4);
        buf_.erase(0, end + 4);
        parse();
    }
    ~EventClient() { closeFd(fd_); }
    EventClient(const EventClient&) = delete;
    EventClient& operator=(const EventClient&) = delete;

    int fd() const { return fd_; }
    const std::string& head() const { return head_; }
    bool headHas(const std::string& field) const { return head_.find(field) != std::string::npos; }
    int status() const { return head_.size() > 12 ? std::atoi(head_.c_str() + 9) : 0; }
    const std::string& firstField() const { return firstField_; }
    const std::vector<Event>& events() const { return events_; }
    int keepalives() const { return keepalives_; }
    // Reads what has come without waiting; false once the server closed.
    bool take() { return receive(0); }
    // Reads until done() holds, the server closed or the time is up; done() then.
    bool readUntil(const std::function<bool()>& done, int timeoutMs) {
        const auto until = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - SteadyClock::now());
            if (left.count() <= 0 || !receive(static_cast<int>(left.count()))) break;
        }
        return done();
    }
    bool waitEvents(size_t n, int timeoutMs = 5000) {
        return readUntil([&] { return events_.size() >= n; }, timeoutMs);
    }

  private:
    bool receive(int timeoutMs) {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return timeoutMs == 0;
        char buf[65536];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return false;
        buf_.append(buf, static_cast<size_t>(n));
        if (!head_.empty()) parse();
        return true;
    }
    // Whole lines of the body into fields; an empty line ends an event. A line ends at LF, CR
    // or CR LF, as EventSource reads them: a stray CR would cut a line here as it would there.
    void parse() {
        for (size_t end; (end = buf_.find_first_of("\r\n")) != std::string::npos;) {
            const std::string line = buf_.substr(0, end);
            buf_.erase(0, end + (buf_.compare(end, 2, "\r\n") == 0 ? 2 : 1));
            if (firstField_.empty()) firstField_ = line;
            if (line.empty()) {
                if (!pending_.id.empty() || !pending_.type.empty()) events_.push_back(pending_);
                pending_ = Event();
                dataLines_ = 0;
                continue;
            }
            if (line[0] == ':') {
                ++keepalives_;
                continue;
            }
            const size_t colon = line.find(':');
            const std::string name = line.substr(0, colon);
            std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
            if (!value.empty() && value[0] == ' ') value.erase(0, 1);
            if (name == "id") pending_.id = value;
            if (name == "event") pending_.type = value;
            if (name == "data") pending_.data += (dataLines_++ ? "\n" : "") + value;
        }
    }

    int fd_;
    std::string head_, buf_, firstField_;
    Event pending_;
    int dataLines_ = 0, keepalives_ = 0;
    std::vector<Event> events_;
};

// The body of a request to the status port.
std::string getBody(int port, const std::string& path) {
    const int fd = connectTo(port);
    sendAll(fd, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const std::string answer = readFor(fd, 1 << 20, 5000);
    closeFd(fd);
    const size_t body = answer.find("\r\n\r\n");
    return body == std::string::npos ? "" : answer.substr(body + 4);
}

// The lines a stream says after the id `after`: "id data", ids one apart.
std::vector<std::string> numbered(uint64_t after, const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& line : lines) out.push_back(std::to_string(++after) + " " + line);
    return out;
}

class Events : public ::testing::TestWithParam<Program> {
  protected:
    void SetUp() override {
        if (GetParam() == Program::Windows) KORRIN_NEED_WINDOWS_BUILD();
        if (GetParam() == Program::Linux && access(relayBinary().c_str(), X_OK) != 0)
            GTEST_SKIP() << "no korrin-relay built";
        s_ = std::make_unique<ServerUnderTest>(GetParam());
    }
    // The relay on port and port + 1, the status port on port + 2, a 50 ms pace and /events
    // on; `more` on top of that (an empty value removes the setting).
    void start(int port, const Settings& more = {}) {
        const std::string p = std::to_string(port), status = std::to_string(port + 2);
        for (const Settings& list :
             {Settings{{"Port", p}, {"Timer", "50"}, {"StatusPort", status}, {"Events", "1"}},
              more})
            for (const auto& [name, value] : list)
                value.empty() ? s_->removeSetting(name) : s_->setSetting(name, value);
        ASSERT_TRUE(s_->start());
        ASSERT_TRUE(listensWithin(port + 1, 10000) && listensWithin(port + 2, 10000));
    }
    void waitReceivers(int n) {
        const auto d = s_->waitFor([n](auto& m) { return m["list3.count"] == std::to_string(n); });
        ASSERT_EQ(d.at("list3.count"), std::to_string(n));
    }
    void TearDown() override {
        for (int fd : {tcp_, sender_}) closeFd(fd);
    }
    // A TCP receiver, listed before any line goes, and a sender.
    void connectPeers(int port) {
        tcp_ = connectTo(port + 1);
        ASSERT_NO_FATAL_FAILURE(waitReceivers(1));
        sender_ = connectTo(port);
    }
    // Sends lines `prefix`0.. and waits until the TCP receiver got them: the streams that are
    // live were handed them in the same steps.
    std::vector<std::string> sendLines(const std::string& prefix, int count) {
        std::vector<std::string> lines;
        std::string bytes;
        for (int i = 0; i < count; ++i) {
            lines.push_back(prefix + std::to_string(i));
            bytes += lines.back() + "\n";
        }
        sendAll(sender_, bytes);
        std::string got;
        for (const auto until = SteadyClock::now() + std::chrono::milliseconds(3000 + 100 * count);
             got.find(bytes) == std::string::npos && SteadyClock::now() < until;)
            got += readFor(tcp_, 1 << 20, 200);
        EXPECT_NE(got.find(bytes), std::string::npos) << "the TCP receiver got: " << got;
        return lines;
    }
    // A stream is handed `had` lines and goes having taken in three of them (more: a drop with
    // lines on their way); `away` runs while it is gone and returns the lines it sent. Back with
    // the third's id (Last-Event-ID, or ?last= when viaQuery), it must get each line after that
    // once, in order, then the live ones.
    void comeBack(int statusPort, const std::string& tag, int had, bool viaQuery,
                  const std::function<std::vector<std::string>()>& away) {
        SCOPED_TRACE(tag);
        std::string last;
        std::vector<std::string> want;
        {
            EventClient es(statusPort);
            ASSERT_EQ(es.status(), 200) << es.head();
            want = sendLines(tag + "-had-", had);
            ASSERT_TRUE(es.waitEvents(3)) << ::testing::PrintToString(shown(es.events()));
            last = es.events()[2].id;
            want.erase(want.begin(), want.begin() + 3);
        }
        for (const std::string& line : away()) want.push_back(line);
        EventClient back(
            statusPort, viaQuery ? "?last=" + last : "",
            "Host: 127.0.0.1\r\n" + (viaQuery ? std::string() : "Last-Event-ID: " + last + "\r\n"));
        ASSERT_EQ(back.status(), 200) << back.head();
        back.waitEvents(want.size());
        for (const std::string& line : sendLines(tag + "-live-", 2)) want.push_back(line);
        back.waitEvents(want.size());
        EXPECT_EQ(shown(back.events()), numbered(std::stoull(last), want));
    }
    std::unique_ptr<ServerUnderTest> s_;
    int tcp_ = -1, sender_ = -1;
};

TEST_P(Events, AStreamGetsEachLineInTheStepTheTcpReceiversGetIt) {
    ASSERT_NO_FATAL_FAILURE(start(4940));
    tcp_ = connectTo(4941);
    EventClient es(4942);
    ASSERT_EQ(es.status(), 200) << es.head();
    for (const char* field : {"Content-Type: text/event-stream\r\n", "Cache-Control: no-store\r\n",
                              "X-Accel-Buffering: no\r\n"})
        EXPECT_TRUE(es.headHas(field)) << field << " missing in " << es.head();
    EXPECT_FALSE(es.headHas("Content-Length")) << es.head();
    ASSERT_NO_FATAL_FAILURE(waitReceivers(2));

    // The bytes a line is sent as, and what the stream says of them.
    struct Case {
        std::string sent, data;
    } cases[] = {
        {"plain", "plain"},
        {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},  // UTF-8 as it is
        {"caf\xE9 \x80", "caf\xC3\xA9 \xC2\x80"},                  // else Latin-1
        {"ends in CR\r", "ends in CR"},
        {"a CR\rinside", "a CR\ninside"},  // two data lines
        {std::string("NUL\0here", 8), "NUL\xEF\xBF\xBDhere"},
        {"", ""},
        {"data: id: 9", "data: id: 9"},
    };
    std::string bytes;
    std::vector<std::string> want;
    for (const Case& c : cases) {
        bytes += c.sent + "\n";
        want.push_back(c.data);
    }
    for (int i = 0; i < 12; ++i) {  // enough steps to see the pace
        bytes += "line " + std::to_string(i) + "\n";
        want.push_back("line " + std::to_string(i));
    }
    sender_ = connectTo(4940);
    sendAll(sender_, bytes);

    // Both read in one loop: what came by one wake-up has that wake-up's time.
    std::string tcpText;
    std::vector<SteadyClock::time_point> tcpAt, streamAt;
    for (const auto until = SteadyClock::now() + std::chrono::seconds(10);
         (tcpAt.size() < want.size() || streamAt.size() < want.size()) &&
         SteadyClock::now() < until;) {
        pollfd p[2] = {{tcp_, POLLIN, 0}, {es.fd(), POLLIN, 0}};
        if (poll(p, 2, 200) < 0) break;
        const auto now = SteadyClock::now();
        if (p[0].revents) {
            char buf[65536];
            const ssize_t n = recv(tcp_, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) break;
            tcpText.append(buf, static_cast<size_t>(n));
            for (ssize_t i = 0; i < n; ++i)
                if (buf[i] == '\n') tcpAt.push_back(now);
        }
        if (p[1].revents && !es.take()) break;
        while (streamAt.size() < es.events().size()) streamAt.push_back(now);
    }
    EXPECT_EQ(tcpText, bytes);
    EXPECT_EQ(es.firstField(), "retry: 2000");
    ASSERT_EQ(es.events().size(), want.size()) << ::testing::PrintToString(shown(es.events()));
    const uint64_t first = std::strtoull(es.events()[0].id.c_str(), nullptr, 10);
    EXPECT_GT(first, 0u);
    EXPECT_EQ(shown(es.events()), numbered(first - 1, want));
    ASSERT_EQ(tcpAt.size(), want.size());
    // One step apart is 50 ms; the same step is the same moment, give or take the scheduler.
    for (size_t i = 0; i < want.size(); ++i) {
        const auto apart = std::chrono::abs(tcpAt[i] - streamAt[i]);
        EXPECT_LT(apart, std::chrono::milliseconds(25)) << "line " << i;
    }

    const nlohmann::json j = nlohmann::json::parse(getBody(4942, "/status.json"));
    std::vector<std::string> kinds;
    for (const auto& r : j["receivers"]) kinds.push_back(r["kind"]);
    EXPECT_EQ(kinds, (std::vector<std::string>{"tcp", "events"}));
    EXPECT_NE(getBody(4942, "/metrics").find("\nkorrin_event_streams 1\n"), std::string::npos);
    if (GetParam() == Program::Windows) {
        EXPECT_EQ(s_->dump()["list3.1"], "127.0.0.1-0 (events)|0");
    }
}

TEST_P(Events, AStreamThatComesBackGetsEachLineItMissedOnceThenTheLiveOnes) {
    ASSERT_NO_FATAL_FAILURE(start(4944));
    ASSERT_NO_FATAL_FAILURE(connectPeers(4944));
    for (const bool viaQuery : {false, true})
        comeBack(4946, viaQuery ? "query" : "header", 3, viaQuery,
                 [&] { return sendLines(viaQuery ? "query-away-" : "header-away-", 10); });
}

// A connection that died with lines on their way, unread: only the client knows what it has,
// and the lines after its id are still kept (more of them than a replay may ask for). Fails
// while a stream that goes counts what the network took as had: the lines past the last 100
// are let go, and it comes back to "event: lost" unless another stream's place holds them.
TEST_P(Events, AStreamThatDroppedWithLinesUnreadGetsThemWhenItComesBack) {
    ASSERT_NO_FATAL_FAILURE(start(4964));
    ASSERT_NO_FATAL_FAILURE(connectPeers(4964));
    comeBack(4966, "unread", 133, false, [&] { return sendLines("unread-away-", 5); });
}

// With a spool the ids are the journal's: they go on after a kill -9 and a restart, and a stream
// that comes back gets what it missed from before the kill and after the restart, each once.
TEST_P(Events, WithASpoolIdsGoOnAcrossAKillAndTheMissedLinesComeOnce) {
    std::string spool = s_->dir() + "/spool";
    if (GetParam() == Program::Windows) {
        for (char& c : spool)
            if (c == '/') c = '\\';
        spool = "Z:" + spool;
    }
    ASSERT_NO_FATAL_FAILURE(start(4948, {{"Spool", spool}}));
    ASSERT_NO_FATAL_FAILURE(connectPeers(4948));
    comeBack(4950, "killed", 5, false, [&] {
        kill(s_->pid(), SIGKILL);
        for (int i = 0; i < 500 && s_->running(); ++i) usleep(10000);
        EXPECT_FALSE(s_->running());
        for (int* fd : {&tcp_, &sender_}) closeFd(std::exchange(*fd, -1));
        EXPECT_TRUE(s_->start());
        EXPECT_TRUE(listensWithin(4949, 10000) && listensWithin(4950, 10000));
        connectPeers(4948);
        return sendLines("after-", 5);
    });
}

// Streams have places of their own beside the 16 requests, outlive a request's 10 s and hear a
// keepalive at least every 15 s while no line goes.
TEST_P(Events, ThirtyOneStreamsAreServedAndTheThirtySecondIsAskedToComeBack) {
    ASSERT_NO_FATAL_FAILURE(start(4952));
    std::vector<std::unique_ptr<EventClient>> streams;
    for (int i = 0; i < 31; ++i) {
        streams.push_back(std::make_unique<EventClient>(4954));
        ASSERT_EQ(streams.back()->status(), 200) << "stream " << i;
    }
    const auto opened = SteadyClock::now();
    {
        EventClient extra(4954);
        EXPECT_EQ(extra.status(), 503) << extra.head();
        EXPECT_TRUE(extra.headHas("\r\nRetry-After: 5\r\n")) << extra.head();
        EXPECT_TRUE(closedWithin(extra.fd(), 3000));
    }
    const nlohmann::json j = nlohmann::json::parse(getBody(4954, "/status.json"));
    int listed = 0;
    for (const auto& r : j["receivers"]) listed += r["kind"] == "events";
    EXPECT_EQ(listed, 31);
    EXPECT_NE(getBody(4954, "/metrics").find("\nkorrin_event_streams 31\n"), std::string::npos);

    for (size_t i = 0; i < streams.size(); ++i) {
        const int left =
            17000 - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         SteadyClock::now() - opened)
                                         .count());
        EXPECT_TRUE(streams[i]->readUntil([&] { return streams[i]->keepalives() > 0; }, left))
            << "no keepalive on stream " << i;
    }
    tcp_ = connectTo(4953);
    ASSERT_NO_FATAL_FAILURE(waitReceivers(32));
    sender_ = connectTo(4952);
    sendLines("to all ", 1);
    for (size_t i = 0; i < streams.size(); ++i) {
        EXPECT_TRUE(streams[i]->waitEvents(1)) << "stream " << i;
        if (!streams[i]->events().empty()) {
            EXPECT_EQ(streams[i]->events()[0].data, "to all 0");
        }
    }
}

// The status port's rules come first, then the receivers' list; a page served elsewhere reads
// the stream only when its origin is listed.
TEST_P(Events, AdmissionTakesTheStatusPortsRulesThenTheReceiversList) {
    ASSERT_NO_FATAL_FAILURE(start(
        4956, {{"AllowReceivers", "127.0.0.1"}, {"EventsOrigins", "https://board.example:8443"}}));
    struct Case {
        const char* from;
        std::string headers;
        int status;
        const char* has;
    } cases[] = {
        {"127.0.0.2", "Host: 127.0.0.1\r\n", 403, ""},
        {"127.0.0.1", "Host: evil.example\r\n", 421, ""},
        {"127.0.0.1", "Host: 127.0.0.1\r\nOrigin: https://board.example:8443\r\n", 200,
         "\r\nAccess-Control-Allow-Origin: https://board.example:8443\r\nVary: Origin\r\n"},
        {"127.0.0.1", "Host: 127.0.0.1\r\nOrigin: https://other.example\r\n", 200, ""},
        {"127.0.0.1", "Host: 127.0.0.1\r\n", 200, ""},
    };
    for (const Case& c : cases) {
        EventClient es(4958, "", c.headers, c.from);
        EXPECT_EQ(es.status(), c.status) << c.from << " " << c.headers;
        EXPECT_TRUE(es.headHas(c.has)) << es.head();
        if (!*c.has) {
            EXPECT_FALSE(es.headHas("Access-Control-Allow-Origin")) << es.head();
        }
        EXPECT_EQ(es.headHas("text/event-stream"), c.status == 200) << es.head();
        if (c.status != 200) {
            EXPECT_TRUE(closedWithin(es.fd(), 3000)) << c.status;
        }
    }
    EXPECT_NE(s_->readFile("IpError.txt")
                  .find("Error: " + std::to_string(s_->code(10013)) +
                        " - Connection from 127.0.0.2 to port 4957 refused\r\n"),
              std::string::npos)
        << s_->readFile("IpError.txt");
}

TEST_P(Events, EventsIsNotServedWhenOffOrWithAWrongOrigin) {
    struct Case {
        Settings settings;
        const char* logged;
    } cases[] = {
        {{{"Events", ""}}, ""},
        {{{"EventsOrigins", "board.example"}}, "EventsOrigins: \"board.example\""},
    };
    for (const Case& c : cases) {
        ASSERT_NO_FATAL_FAILURE(start(4960, c.settings));
        EventClient es(4962);
        EXPECT_EQ(es.status(), 404) << es.head();
        EXPECT_NE(s_->readFile("IpError.txt").find(c.logged), std::string::npos);
        s_->stop();
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, Events, ::testing::Values(Program::Windows, Program::Linux),
                         [](const auto& p) { return std::string(programName(p.param)); });

}  // namespace
}  // namespace korrin::blackbox
