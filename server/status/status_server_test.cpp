#include "server/status/status_server.h"

#include <gtest/gtest.h>

#include "server/net/testing/relay_test_fakes.h"

namespace korrin {
namespace {

// Requests as a client writes them, and the status line and a piece of the answer.
TEST(StatusServer, RoutesEachRequestToItsAnswer) {
    FakeListener in, out, port;
    FakeSettings settings;
    settings.values = {{"StatusPort", "3080"}, {"StatusHosts", "relay.lan"}};
    FakeTimer timer;
    FakeLog log;
    FakeView view;
    FakeClock clock;
    Relay relay(in, out, settings, timer, log, view, clock);
    relay.load(nullptr);
    StatusServer status(port, relay, settings, "9.9");
    status.applySettings();
    ASSERT_TRUE(status.listening());
    struct Case {
        std::string request, status, body;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: 127.0.0.1:3080\r\n\r\n", "200 OK", "<!DOCTYPE html>"},
        {"GET /status.json HTTP/1.1\r\nHost: [::1]\r\n\r\n", "200 OK", "\"version\":\"9.9\""},
        {"GET /metrics HTTP/1.0\r\n\r\n", "200 OK", "korrin_spool_bytes 0"},
        {"GET /healthz HTTP/1.1\r\nHost: relay.lan\r\n\r\n", "200 OK", "ok\n"},
        {"HEAD /healthz HTTP/1.1\r\nHost: localhost\r\n\r\n", "200 OK", ""},
        {"GET /nope HTTP/1.1\r\nHost: localhost\r\n\r\n", "404", "try /"},
        {"POST / HTTP/1.1\r\nHost: localhost\r\n\r\n", "405", ""},
        {"GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n", "421", ""},
        {"GET / HTTP/1.1\r\n\r\n", "400", ""},
    };
    int id = 0;
    for (const Case& c : cases) {
        status.connectionOpened(id);
        status.dataIn(id, c.request, false);
        const std::string& answer = port.sent[id];
        EXPECT_EQ(answer.substr(0, 9 + c.status.size()), "HTTP/1.1 " + c.status) << c.request;
        EXPECT_NE(answer.find(c.body), std::string::npos) << c.request;
        status.connectionClosed(id++);
    }
    // A port that does not listen fails the health check, by name.
    relay.unload();
    status.connectionOpened(id);
    status.dataIn(id, "GET /healthz HTTP/1.1\r\nHost: localhost\r\n\r\n", false);
    EXPECT_NE(port.sent[id].find("503"), std::string::npos);
    EXPECT_NE(port.sent[id].find("input port 3001 is not listening"), std::string::npos);
}

}  // namespace
}  // namespace korrin
