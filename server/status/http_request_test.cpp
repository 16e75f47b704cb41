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
        std::string method, path;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", State::Complete, 0, "GET", "/"},
        {"HEAD /status.json?pretty=1 HTTP/1.0\n\n", State::Complete, 0, "HEAD", "/status.json"},
        {"\r\nGET /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", State::Complete, 0, "GET",
         "/metrics"},
        {"DELETE /x HTTP/1.1\r\n\r\n", State::Complete, 0, "DELETE", "/x"},  // 405 is the server's
        {"GET / HTTP/1.1\r\nHost: x\r\n", State::Incomplete, 0, "", ""},
        {"GET /  HTTP/1.1\r\n\r\n", State::Bad, 400, "", ""},
        {"GET / HTTP/2.0\r\n\r\n", State::Bad, 400, "", ""},
        {"GET http://host/ HTTP/1.1\r\n\r\n", State::Bad, 400, "", ""},
        {"G(T / HTTP/1.1\r\n\r\n", State::Bad, 400, "", ""},
        {"GET /\x01 HTTP/1.1\r\n\r\n", State::Bad, 400, "", ""},
        {"GET / HTTP/1.1\r\nNo colon\r\n\r\n", State::Bad, 400, "", ""},
        {"GET / HTTP/1.1\r\n folded: x\r\n\r\n", State::Bad, 400, "", ""},
        {"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", State::Bad, 400, "", ""},
        {"GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", State::Bad, 400, "", ""},
        {"\r\n\r\n", State::Bad, 400, "", ""},
        {"GET /" + big + " HTTP/1.1\r\n\r\n", State::Bad, 414, "", ""},
        {"GET / HTTP/1.1\r\nX: " + big + "\r\n\r\n", State::Bad, 431, "", ""},
        {"GET / HTTP/1.1\r\nX: " + big.substr(0, 8169) + "\r\n\r\n", State::Complete, 0, "GET",
         "/"},  // exactly 8 KiB
        {"GET / HTTP/1.1\r\nX: " + big.substr(0, 8170) + "\r\n\r\n", State::Bad, 431, "", ""},
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
        }
    }
}

}  // namespace
}  // namespace korrin
