// The status port of KorrinServer.exe under Wine, asked from Linux as a browser, a script and
// a monitoring system would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/server/server_harness.h"

namespace korrin::blackbox {
namespace {

// The whole answer to one raw request.
std::string ask(int port, const std::string& request) {
    const int fd = connectTo(port);
    if (fd < 0) return "";
    sendAll(fd, request);
    std::string answer = readFor(fd, 1 << 20, 5000);
    closeFd(fd);
    return answer;
}
std::string get(int port, const std::string& path) {
    return ask(port, "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
}
std::string body(const std::string& answer) {
    return answer.substr(answer.find("\r\n\r\n") + 4);
}

class Status : public ::testing::Test {
  protected:
    void SetUp() override {
        KORRIN_NEED_WINDOWS_BUILD();
        s_ = std::make_unique<ServerUnderTest>();
        s_->setSetting("Port", "4700");
        s_->setSetting("Timer", "1000");
        s_->setSetting("StatusPort", "4780");
        s_->setSetting("StatusHosts", "relay.lan");
        ASSERT_TRUE(s_->start());
        ASSERT_TRUE(listensWithin(4701, 5000) && listensWithin(4780, 5000));
    }
    std::unique_ptr<ServerUnderTest> s_;
};

TEST_F(Status, AnswersScriptsMonitorsAndStrangersWhileTheRelayGoesOn) {
    EXPECT_EQ(listenAddresses(4780), (std::vector<std::string>{"127.0.0.1", "::1"}));
    const int r = connectTo(4701);
    s_->waitFor([](auto& m) { return m["list3.count"] == "1"; });
    const int snd = connectTo(4700);
    sendAll(snd, "one\ntwo\nthree\n");
    usleep(300 * 1000);

    const nlohmann::json j = nlohmann::json::parse(body(get(4780, "/status.json")));
    EXPECT_EQ(j["ports"]["input"], 4700);
    ASSERT_EQ(j["receivers"].size(), 1u);
    EXPECT_EQ(j["receivers"][0]["address"], "127.0.0.1");
    EXPECT_EQ(j["receivers"][0]["id"], 0);
    EXPECT_EQ(j["counters"]["lines_in"], 3);
    EXPECT_GE(j["queue"]["lines"].get<int>(), 1);  // one line a second leaves the queue

    // A Prometheus parser reads every family.
    const std::string metricsFile = s_->dir() + "/metrics.txt";
    std::ofstream(metricsFile) << body(get(4780, "/metrics"));
    std::string families;
    EXPECT_EQ(run({"/usr/bin/python3", "-c",
                   "import sys\nfrom prometheus_client.parser import "
                   "text_string_to_metric_families as parse\n"
                   "print(' '.join(sorted(f.name for f in parse(open(sys.argv[1]).read()))))",
                   metricsFile},
                  &families),
              0);
    EXPECT_EQ(families,
              "korrin_lines_in korrin_lines_lost korrin_lines_out korrin_pacing_lateness_seconds "
              "korrin_paused korrin_port_listening korrin_queue_bytes korrin_queue_lines "
              "korrin_receivers korrin_refused korrin_replayed_lines korrin_resumed_receivers "
              "korrin_send_failures korrin_senders korrin_spool_bytes korrin_spool_segments "
              "korrin_spool_sync_seconds\n");

    struct Case {
        std::string request, head, notIn;
    } cases[] = {
        {"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1:4780\r\n\r\n", "HTTP/1.1 200 OK\r\n", ""},
        {"HEAD / HTTP/1.1\r\nHost: [::1]:4780\r\n\r\n", "HTTP/1.1 200 OK\r\n", "<html"},
        {"POST / HTTP/1.1\r\nHost: localhost\r\n\r\n", "HTTP/1.1 405 Method Not Allowed\r\n", ""},
        {"OPTIONS * HTTP/1.1\r\nHost: localhost\r\n\r\n", "HTTP/1.1 405 Method Not Allowed\r\n",
         ""},
        {"GET /nope HTTP/1.1\r\nHost: LOCALHOST:4780\r\n\r\n", "HTTP/1.1 404 Not Found\r\n", ""},
        {"GET /status.json HTTP/1.1\r\nHost: evil.example:4780\r\n\r\n",  // DNS rebinding
         "HTTP/1.1 421 Misdirected Request\r\n", "\"receivers\""},
        {"GET /healthz HTTP/1.1\r\nHost: Relay.LAN:4780\r\n\r\n", "HTTP/1.1 200 OK\r\n", ""},
        {"GET http://relay.lan:4780/healthz HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK\r\n",
         ""},
        {"GET /healthz HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n", ""},
        {"hello\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n", ""},
        {"GET /" + std::string(9000, 'x'), "HTTP/1.1 414 URI Too Long\r\n", ""},
    };
    for (const Case& c : cases) {
        const std::string a = ask(4780, c.request);
        EXPECT_EQ(a.substr(0, c.head.size()), c.head) << c.request.substr(0, 30);
        EXPECT_NE(a.find("Cache-Control: no-store\r\n"), std::string::npos) << a;
        if (!c.notIn.empty()) {
            EXPECT_EQ(a.find(c.notIn), std::string::npos) << a;
        }
    }
    EXPECT_NE(ask(4780, "POST / HTTP/1.1\r\nHost: localhost\r\n\r\n").find("Allow: GET, HEAD\r\n"),
              std::string::npos);

    // Sixteen clients that say nothing hold every place; the seventeenth is closed at once.
    std::vector<int> idle;
    for (int i = 0; i < 16; ++i) idle.push_back(connectTo(4780));
    usleep(500 * 1000);
    const int extra = connectTo(4780);
    EXPECT_TRUE(closedWithin(extra, 3000));
    EXPECT_FALSE(closedWithin(idle.back(), 500));
    for (int fd : idle) closeFd(fd);
    closeFd(extra);

    EXPECT_EQ(readFor(r, 14, 5000), "one\ntwo\nthree\n");  // the relay went on throughout
    closeFd(snd);
    closeFd(r);
}

// A request too long to read whole: the client may still be sending when its answer goes out.
// Closed with its bytes unread, the socket would send a reset, which may destroy the answer;
// the answer must end in a FIN.
TEST_F(Status, AnOverlongRequestGetsItsWholeAnswerWhileItsClientSendsOn) {
    struct Case {
        std::string request, head, body;
    } cases[] = {
        {"GET /" + std::string(9000, 'x'), "HTTP/1.1 414 ", "URI Too Long\n"},
        {"GET / HTTP/1.1\r\nHost: localhost\r\nX: " + std::string(9000, 'y'), "HTTP/1.1 431 ",
         "Request Header Fields Too Large\n"},
    };
    for (const Case& c : cases) {
        const int fd = connectTo(4780);
        // One write that does not block: a send failing on the reset would hide it from recv.
        fcntl(fd, F_SETFL, O_NONBLOCK);
        const std::string bytes = c.request + std::string(256 * 1024, 'z');
        ASSERT_GT(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), 70000);
        std::string answer;
        int end = ETIMEDOUT;
        for (pollfd p = {fd, POLLIN, 0}; poll(&p, 1, 5000) > 0;) {
            char buf[4096];
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                end = n == 0 ? 0 : errno;
                break;
            }
            answer.append(buf, static_cast<size_t>(n));
        }
        EXPECT_EQ(answer.substr(0, c.head.size()), c.head) << answer;
        EXPECT_EQ(body(answer), c.body);
        EXPECT_EQ(end, 0) << strerror(end);
        closeFd(fd);
    }
}

TEST_F(Status, HealthFailsWhileTheOutputPortIsClosed) {
    const int blocker = occupyPort(4703);
    ASSERT_GE(blocker, 0);
    s_->probe({"command", "201"});
    s_->probe({"input", "4702"});
    s_->probe({"msgbox", "ok"});
    const std::string a = get(4780, "/healthz");
    EXPECT_EQ(a.substr(0, 12), "HTTP/1.1 503") << a;
    EXPECT_EQ(body(a), "output port 4703 is not listening\n");
    closeFd(blocker);
}

TEST_F(Status, PageListsReceiversAndShowsANewOneWithoutAReload) {
    const int r = connectTo(4701);
    s_->waitFor([](auto& m) { return m["list3.count"] == "1"; });
    std::string seen;
    std::vector<std::string> argv = {
        "/usr/bin/python3",
        std::string(KORRIN_SOURCE_DIR) + "/tests/server/status_page_check.py",
        "--url",
        "http://relay.lan:4780/",  // a listed name: the page's own script asks under it too
        "--map",
        "relay.lan",
        "--connect",
        "127.0.0.1:4701"};
    if (const char* shot = std::getenv("KORRIN_STATUS_SCREENSHOT")) {
        argv.push_back("--screenshot");
        argv.push_back(shot);
    }
    EXPECT_EQ(run(argv, &seen, 60000), 0) << seen;
    closeFd(r);
}

}  // namespace
}  // namespace korrin::blackbox
