#include "server/net/connection_table.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "server/net/limits.h"
#include "server/net/testing/recording_events.h"

namespace korrin {
namespace {

using Seen = std::vector<std::string>;

// The listener's part played by hand: sockets are strings, the event queue a list. As a real
// listener does, it watches each accepted socket under its connection's id and serial and hands
// the socket's events on by those alone.
class FakeSockets final : public ConnectionTable {
  public:
    // What the watch on one accepted socket holds; id -1 when the peer was turned away, -2
    // when it waits for an id.
    struct Socket {
        int id;
        uint64_t serial;
    };

    FakeSockets(ListenerEvents& e, int max)
        : ConnectionTable(e, max,
                          {ENOTSOCK, ENOTCONN, ENOBUFS, EMFILE, EMSGSIZE, EADDRNOTAVAIL,
                           [](int c) { return std::string(strerror(c)); }}) {}

    size_t room = 1 << 20;  // bytes the network takes until it is full
    int writeError = 0;
    bool peerGone = false;  // a failed write found the peer gone in an orderly way
    std::string written, waiting;
    std::vector<int> queued;  // closed events
    int acceptAgains = 0;
    std::map<std::string, int> listenErrors;  // by address
    std::vector<std::string> listening;

    Socket connect() {
        if (!idFree()) return {-2, 0};
        if (turnAway(ipv4(10, 0, 0, 1))) return {-1, 0};
        Connection& c = add(std::make_unique<Connection>(), ipv4(10, 0, 0, 1), "10.0.0.9");
        opened(c);
        return {c.id, c.serial};
    }
    // The socket's events: false when they find no connection, as those of a closing one or of
    // an earlier one under the same id do.
    bool peerSends(Socket s, std::string_view bytes) {
        return on(s, [&](Connection& c) { received(c, bytes); });
    }
    bool socketWritable(Socket s) {
        return on(s, [&](Connection& c) { writable(c); });
    }
    bool peerHangsUp(Socket s) {
        return on(s, [&](Connection& c) { peerClosed(c, 0); });
    }
    void deliverQueued() {
        for (int id : std::exchange(queued, {})) deliverClosed(id);
    }
    std::string localAddress() override { return {}; }
    void pauseReading(bool) override {}

  private:
    template <class Handle>
    bool on(Socket s, Handle handle) {
        Connection* c = find(s.id, s.serial);
        if (c) handle(*c);
        return c != nullptr;
    }
    int listenOn(const IpAddress& a, int32_t) override {
        const auto it = listenErrors.find(a.text());
        if (it != listenErrors.end()) return it->second;
        listening.push_back(a.text());
        return 0;
    }
    void closeListenSockets() override { listening.clear(); }
    int write(Connection&, std::string_view bytes, size_t* n) override {
        *n = writeError ? 0 : std::min(room, bytes.size());
        room -= *n;
        written.append(bytes.substr(0, *n));
        return writeError;
    }
    bool peerLeft(Connection&, int) override { return peerGone; }
    std::string takeWaiting(Connection&) override { return std::exchange(waiting, {}); }
    void closeSocket(Connection& c) override { queued.push_back(c.id); }
    void acceptAgain() override { ++acceptAgains; }
};

struct Table : ::testing::Test {
    RecordingEvents events;
    FakeSockets table{events, 3};
};

TEST_F(Table, AdmitsUpToTheBoundAndLogsTheTurnedAwayOnceAMinute) {
    EXPECT_EQ(table.connect().id, 0);
    events.admit = false;
    EXPECT_EQ(table.connect().id, -1);  // refused by the events: no id, no log
    events.admit = true;
    EXPECT_EQ(table.connect().id, 1);
    EXPECT_EQ(table.connect().id, 2);
    EXPECT_EQ(table.connect().id, -1);
    EXPECT_EQ(table.connect().id, -1);
    EXPECT_EQ(events.seen, (Seen{"open 0", "open 1", "open 2", "error " + std::to_string(EMFILE)}));
}

TEST_F(Table, IdsAreLowestFreeOnceClosedAndSerialsNeverReturn) {
    table.connect();
    const FakeSockets::Socket old = table.connect();
    table.connect();
    ASSERT_TRUE(table.closeConnection(1).ok());
    EXPECT_FALSE(table.isOpen(1));
    EXPECT_EQ(table.connect().id, -2);  // id 1 is held until its closed event
    table.deliverQueued();
    EXPECT_EQ(table.acceptAgains, 1);
    const FakeSockets::Socket again = table.connect();
    EXPECT_EQ(again.id, 1);
    EXPECT_FALSE(table.socketWritable(old));  // the old connection's events find nothing
    EXPECT_TRUE(table.socketWritable(again));
    EXPECT_EQ(table.closeConnection(7).code, ENOTSOCK);
}

TEST_F(Table, ClosesWhenSentOnlyOnceAllIsOut) {
    const FakeSockets::Socket s = table.connect();
    table.room = 4;
    ASSERT_TRUE(table.send(0, "answer").ok());
    ASSERT_TRUE(table.closeWhenSent(0).ok());
    EXPECT_TRUE(table.isOpen(0));
    EXPECT_EQ(table.pendingBytes(0), 2u);
    table.room = 100;
    table.socketWritable(s);
    EXPECT_EQ(table.written, "answer");
    EXPECT_FALSE(table.isOpen(0));
    table.connect();  // id 1: nothing queued, so it closes at once
    ASSERT_TRUE(table.closeWhenSent(1).ok());
    table.deliverQueued();
    EXPECT_EQ(events.seen, (Seen{"open 0", "open 1", "closed 0", "closed 1"}));
}

// What a closing connection still held is told while its closed event is delivered.
TEST(TableUnsent, ToldWhileTheClosedEventIsDelivered) {
    struct Events : RecordingEvents {
        Listener* table = nullptr;
        std::vector<size_t> unsent;
        void connectionClosed(int id) override { unsent.push_back(table->unsentAtClose(id)); }
    } events;
    FakeSockets table{events, 3};
    events.table = &table;
    table.connect();
    const FakeSockets::Socket second = table.connect();
    table.room = 4;
    ASSERT_TRUE(table.send(0, "line 1\n").ok());
    table.closeConnection(0);
    table.peerHangsUp(second);
    table.deliverQueued();
    EXPECT_EQ(events.unsent, (std::vector<size_t>{3, 0}));
    EXPECT_EQ(table.unsentAtClose(0), 0u);  // asked too late
}

TEST_F(Table, AFailedSendFailsUnlessThePeerLeftInOrder) {
    struct Case {
        bool peerGone;
        int code;
        bool open;
    };
    for (const Case& k : {Case{false, ECONNRESET, true}, Case{true, 0, false}}) {
        const int id = table.connect().id;
        table.writeError = ECONNRESET;
        table.peerGone = k.peerGone;
        EXPECT_EQ(table.send(id, "x").code, k.code);
        EXPECT_EQ(table.isOpen(id), k.open);
    }
}

TEST_F(Table, TheLinesAPeerLeftAreDeliveredBeforeItsClose) {
    struct Case {
        bool closedHere;  // by closeConnection, with bytes still waiting in the network
        Seen seen;
    };
    for (const Case& k :
         {Case{false, {"open 0", "line 0 one", "piece 0 tw", "closed 0"}},
          Case{true, {"open 0", "line 0 one", "line 0 two", "piece 0 3", "closed 0"}}}) {
        events.seen.clear();
        const FakeSockets::Socket s = table.connect();
        table.setReceiving(0, true);
        table.peerSends(s, "one\ntw");
        if (k.closedHere) {
            table.waiting = "o\n3";
            table.closeConnection(0);
        } else {
            table.peerHangsUp(s);
        }
        table.deliverQueued();
        EXPECT_EQ(events.seen, k.seen);
    }
}

// The lines of a read go on together, and a line dropped among them keeps its place.
TEST_F(Table, LinesOfOneReadKeepTheirOrderAroundADroppedOne) {
    const FakeSockets::Socket s = table.connect();
    table.setReceiving(0, true);
    table.peerSends(s, "a\nb");
    table.peerSends(s, "\nc\n" + std::string(limits::kMaxLine + 1, 'x') + "\nd\ne");
    EXPECT_EQ(events.seen, (Seen{"open 0", "line 0 a", "line 0 b", "line 0 c",
                                 "error " + std::to_string(EMSGSIZE), "line 0 d"}));
}

// An address this computer lacks, or whose family it lacks, is skipped and reported; any other
// failure, or no address left, keeps the port closed.
TEST_F(Table, ListensOnTheAddressesThisComputerHas) {
    const struct {
        std::map<std::string, int> errors;
        int code;
        Seen listening, notBound;
    } cases[] = {
        {{}, 0, {"127.0.0.1", "::1"}, {}},
        {{{"::1", EADDRNOTAVAIL}}, 0, {"127.0.0.1"}, {"::1"}},
        {{{"127.0.0.1", EAFNOSUPPORT}}, 0, {"::1"}, {"127.0.0.1"}},
        {{{"127.0.0.1", EADDRNOTAVAIL}, {"::1", EAFNOSUPPORT}}, EADDRNOTAVAIL, {}, {}},
        {{{"::1", EADDRINUSE}}, EADDRINUSE, {}, {}},
        {{{"127.0.0.1", EADDRNOTAVAIL}, {"::1", EACCES}}, EACCES, {}, {}},
    };
    table.setLocalPort(3001);
    table.setLocalAddresses({ipv4(127, 0, 0, 1), *parseIpAddress("::1")});
    for (const auto& c : cases) {
        table.listenErrors = c.errors;
        EXPECT_EQ(table.setListening(true).code, c.code) << c.errors.size();
        EXPECT_EQ(table.listening, c.listening);
        Seen notBound;
        for (const UnboundAddress& u : table.notBound()) {
            notBound.push_back(u.address.text());
            EXPECT_EQ(u.why.code, c.errors.at(u.address.text()));
        }
        EXPECT_EQ(notBound, c.notBound);
        table.setListening(false);
        EXPECT_TRUE(table.notBound().empty());
    }
}

}  // namespace
}  // namespace korrin
