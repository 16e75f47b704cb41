#include "server/status/http_request.h"

#include <gtest/gtest.h>

#include <string>

namespace korrin {
namespace {

using State = HttpRequestReader::State;

TEST(HttpRequestReader, ReadsHeadsAndRefusesWhatIsNoneOfOurs) {
    const std::string big(HttpRequestReader::kMaxHead, 'a');
    struct Case {
        std::string bytes;
        State state;
        int status;
        std::string method, path, host;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", State::Complete, 0, "GET", "/", "x"},
        {"HEAD /status.json?pretty=1 HTTP/1.0\n\n", State::Complete, 0, "HEAD", "/status.json", ""},
        {"\r\nGET /metrics HTTP/1.1\r\nContent-Length: 0\r\nhost:192.0.2.7\r\n\r\n",
         State::Complete, 0, "GET", "/metrics", "192.0.2.7"},
        {"DELETE /x HTTP/1.1\r\nHost: [::1]:3080\r\n\r\n", State::Complete, 0, "DELETE", "/x",
         "[::1]"},  // 405 is the server's
        {"GET / HTTP/1.2\r\nHost: LOCALHOST:3080\r\n\r\n", State::Complete, 0, "GET", "/",
         "localhost"},
        {"OPTIONS * HTTP/1.1\r\nHost: x:\r\n\r\n", State::Complete, 0, "OPTIONS", "*", "x"},
        // A fully qualified name's one trailing dot names the same host; two do not.
        {"GET / HTTP/1.1\r\nHost: Relay.LAN.:3080\r\n\r\n", State::Complete, 0, "GET", "/",
         "relay.lan"},
        {"GET http://localhost./ HTTP/1.0\r\n\r\n", State::Complete, 0, "GET", "/", "localhost"},
        {"GET / HTTP/1.1\r\nHost: 127.0.0.1.\r\n\r\n", State::Complete, 0, "GET", "/", "127.0.0.1"},
        {"GET / HTTP/1.1\r\nHost: relay.lan..\r\n\r\n", State::Complete, 0, "GET", "/",
         "relay.lan.."},
        {"GET / HTTP/1.1\r\nHost: .\r\n\r\n", State::Complete, 0, "GET", "/", "."},
        // The absolute form: its authority is the host, whatever the Host field says.
        {"GET HTTP://Relay.LAN:3080/status.json?a HTTP/1.1\r\nHost: evil.example\r\n\r\n",
         State::Complete, 0, "GET", "/status.json", "relay.lan"},
        {"GET http://[::1]?a HTTP/1.0\r\n\r\n", State::Complete, 0, "GET", "/", "[::1]"},
        {"GET / HTTP/1.1\r\nHost: x\r\n", State::Incomplete, 0, "", "", ""},
        {"GET / HTTP/1.1\r\n\r\n", State::Bad, 400, "", "", ""},  // HTTP/1.1 names its host
        {"GET / HTTP/1.1\r\nHost: x\r\nHost: x\r\n\r\n", State::Bad, 400, "", "", ""},
        {"GET / HTTP/1.1\r\nHost:\r\n\r\n", State::Bad, 400, "", "", ""},
        {"GET / HTTP/1.0\r\nHost: x:80a\r\n\r\n", State::Bad, 400, "", "", ""},
        {"GET http://u@x/ HTTP/1.0\r\n\r\n", State::Bad, 400, "", "", ""},
        {"GET /  HTTP/1.0\r\n\r\n", State::Bad, 400, "", "", ""},
        {"GET / HTTP/2.0\r\n\r\n", State::Bad, 400, "", "", ""},
        {"G(T / HTTP/1.0\r\n\r\n", State::Bad, 400, "", "", ""},
        {"GET /\x01 HTTP/1.0\r\n\r\n", State::Bad, 400, "", "", ""},
        {"GET / HTTP/1.0\r\nNo colon\r\n\r\n", State::Bad, 400, "", "", ""},
        {"GET / HTTP/1.0\r\n folded: x\r\n\r\n", State::Bad, 400, "", "", ""},
        {"POST / HTTP/1.0\r\nContent-Length: 5\r\n\r\nhello", State::Bad, 400, "", "", ""},
        {"GET / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", State::Bad, 400, "", "", ""},
        {"\r\n\r\n", State::Bad, 400, "", "", ""},
        {"GET /" + big + " HTTP/1.1\r\n\r\n", State::Bad, 414, "", "", ""},
        {"GET / HTTP/1.1\r\nX: " + big + "\r\n\r\n", State::Bad, 431, "", "", ""},
        {"GET / HTTP/1.0\r\nX: " + big.substr(0, 8169) + "\r\n\r\n", State::Complete, 0, "GET", "/",
         ""},  // exactly 8 KiB
        {"GET / HTTP/1.0\r\nX: " + big.substr(0, 8170) + "\r\n\r\n", State::Bad, 431, "", "", ""},
    };
    for (const Case& c : cases) {
        const std::string what = c.bytes.substr(0, 40);
        // Whole, and one byte at a time: a head split anywhere reads the same.
        for (size_t step : {c.bytes.size(), size_t{1}}) {
            HttpRequestReader r;
            for (size_t at = 0; at < c.bytes.size(); at += step) r.feed(c.bytes.substr(at, step));
            EXPECT_EQ(r.state(), c.state) << what << " step " << step;
            EXPECT_EQ(r.errorStatus(), c.status) << what;
            EXPECT_EQ(r.method(), c.method) << what;
            EXPECT_EQ(r.path(), c.path) << what;
            EXPECT_EQ(r.host(), c.host) << what;
        }
    }
}

TEST(HttpRequestReader, AnswersOnlyToItsOwnNames) {
    const ParsedList<std::string> names = parseHostNames(" Relay.LAN ,status-1.,, ");
    EXPECT_EQ(names.entries, (std::vector<std::string>{"relay.lan", "status-1"}));
    EXPECT_EQ(parseHostNames("relay.lan..").entries, std::vector<std::string>{"relay.lan.."});
    for (const char* bad : {"relay.lan:3080", "a/b", ",", "*"})
        EXPECT_TRUE(parseHostNames(bad).badEntry) << bad;

    for (const char* host : {"127.0.0.1", "[fe80::1]", "localhost", "relay.lan", "status-1", ""})
        EXPECT_TRUE(hostServed(host, names.entries)) << host;
    for (const char* host :
         {"evil.example", "127.0.0.1.evil.example", "localhost.evil", "relay", ".", ".."})
        EXPECT_FALSE(hostServed(host, names.entries)) << host;
    EXPECT_FALSE(hostServed("relay.lan", {}));
}

}  // namespace
}  // namespace korrin
