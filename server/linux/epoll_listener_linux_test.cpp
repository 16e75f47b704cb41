#include "server/linux/epoll_listener_linux.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "server/net/testing/recording_events.h"

namespace korrin {
namespace {

int connectLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? fd : -1;
}

// One port per fixture: ctest runs the tests side by side.
template <int Port>
struct ListenerAt : ::testing::Test {
    static constexpr int kPort = Port;
    EventLoop loop;
    RecordingEvents events;
    EpollListener listener{loop, events, 2};
    void SetUp() override {
        listener.setLocalAddresses({ipv4(127, 0, 0, 1)});
        listener.setLocalPort(kPort);
        ASSERT_TRUE(listener.setListening(true).ok());
    }
    // Pumps the loop until `n` events were seen (or two seconds passed).
    std::vector<std::string> until(size_t n) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (events.seen.size() < n && std::chrono::steady_clock::now() < end) loop.runOnce(20);
        return events.seen;
    }
    // How often the loop woke in a third of a second, pumped with 50 ms waits: a handful when
    // idle, thousands when some readiness is never consumed (slowness only lowers the count).
    int wakeups() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        int n = 0;
        for (; std::chrono::steady_clock::now() < end; ++n) loop.runOnce(50);
        return n;
    }
};

// What the peer reads until the end: the bytes, and 0 for an orderly end or the errno.
std::pair<size_t, int> readToEnd(int fd, const std::function<void()>& pump) {
    size_t got = 0;
    char buf[65536];
    fcntl(fd, F_SETFL, O_NONBLOCK);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < end) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0) return {got, 0};
        if (n > 0) got += static_cast<size_t>(n);
        if (n < 0 && errno != EAGAIN) return {got, errno};
        pump();
    }
    return {got, ETIMEDOUT};
}

using Seen = std::vector<std::string>;
using Lifecycle = ListenerAt<4850>;
using Sending = ListenerAt<4851>;
using Pausing = ListenerAt<4852>;
using Descriptors = ListenerAt<4853>;
using HalfClose = ListenerAt<4854>;

TEST_F(Lifecycle, ConnectionsLiveFromOpenedToTheirOwnClosedEvent) {
    const int a = connectLoopback(kPort);
    ASSERT_EQ(until(1), Seen{"open 0"});
    listener.setLineDelimiter(0, "\n");
    listener.setReceiving(0, true);
    ASSERT_EQ(write(a, "one\ntw", 6), 6);
    close(a);  // the piece without LF comes with the close
    EXPECT_EQ(until(4), (Seen{"open 0", "line 0 one", "piece 0 tw", "closed 0"}));

    // Closed here: not open at once, its closed event later, its id held until then.
    events.seen.clear();
    const int b = connectLoopback(kPort);
    until(1);
    EXPECT_TRUE(listener.closeConnection(0).ok());
    EXPECT_FALSE(listener.isOpen(0));
    EXPECT_EQ(listener.send(0, "x").code, ENOTCONN);
    EXPECT_EQ(listener.closeConnection(0).code, ENOTSOCK);
    const int c = connectLoopback(kPort);
    EXPECT_EQ(until(3), (Seen{"open 0", "closed 0", "open 0"}));

    // At the bound (2 here) further peers are closed at once, once logged.
    events.seen.clear();
    const int d = connectLoopback(kPort), e = connectLoopback(kPort);
    until(2);
    EXPECT_EQ(events.seen, (Seen{"open 1", "error 24"}));
    char byte;
    EXPECT_EQ(read(e, &byte, 1), 0);

    // Refused peers get no id and no event.
    events.seen.clear();
    events.admit = false;
    listener.closeConnection(1);
    const int f = connectLoopback(kPort);
    for (int i = 0; i < 10; ++i) loop.runOnce(20);
    EXPECT_EQ(read(f, &byte, 1), 0);
    EXPECT_EQ(events.seen, Seen{"closed 1"});
    for (int fd : {b, c, d, e, f}) close(fd);
}

TEST_F(Sending, QueuesWithoutBlockingAndClosesOnceSent) {
    const int a = connectLoopback(kPort);
    until(1);
    const std::string big(SendBuffer::kCap, 'x');
    EXPECT_TRUE(listener.send(0, big).ok());  // the kernel takes part, the rest waits
    EXPECT_EQ(listener.send(0, big).code, ENOBUFS);
    EXPECT_GT(listener.pendingBytes(0), 0u);
    EXPECT_TRUE(listener.closeWhenSent(0).ok());
    EXPECT_TRUE(listener.isOpen(0));
    size_t got = 0;
    char buf[65536];
    fcntl(a, F_SETFL, O_NONBLOCK);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (ssize_t n = 1; n != 0 && std::chrono::steady_clock::now() < end;) {
        n = read(a, buf, sizeof buf);
        if (n > 0) got += static_cast<size_t>(n);
        loop.runOnce(n > 0 ? 0 : 5);
    }
    EXPECT_EQ(got, big.size());  // all of it, then the close
    EXPECT_EQ(until(2), (Seen{"open 0", "closed 0"}));
    close(a);
}

TEST_F(HalfClose, AnAnswerOutlivesThePeersHalfCloseAndEndsWithoutAReset) {
    const std::string big(SendBuffer::kCap, 'x');
    const auto pump = [this] { loop.runOnce(5); };
    // Its request done, the peer shuts its side while the answer is still queued.
    const int a = connectLoopback(kPort);
    until(1);
    listener.send(0, big);
    listener.closeWhenSent(0);
    shutdown(a, SHUT_WR);
    EXPECT_EQ(readToEnd(a, pump), std::make_pair(big.size(), 0));
    EXPECT_EQ(until(2), (Seen{"open 0", "closed 0"}));
    close(a);

    // Bytes the peer sent that were not read yet: its answer still ends in a FIN, not a reset.
    events.seen.clear();
    const int b = connectLoopback(kPort);
    until(1);
    const std::string unread(256 * 1024, 'u');
    fcntl(b, F_SETFL, O_NONBLOCK);
    ASSERT_GT(write(b, unread.data(), unread.size()), 0);
    listener.send(0, "answer");
    listener.closeWhenSent(0);
    EXPECT_FALSE(listener.isOpen(0));
    EXPECT_EQ(readToEnd(b, pump), std::make_pair(size_t{6}, 0));
    close(b);
    EXPECT_EQ(until(2), (Seen{"open 0", "closed 0"}));
}

TEST_F(Pausing, APausedSenderWakesTheLoopOnlyWhenItLeaves) {
    listener.pauseReading(true);
    const int a = connectLoopback(kPort);
    until(1);
    listener.setLineDelimiter(0, "\n");
    listener.setReceiving(0, true);
    ASSERT_EQ(write(a, "held\n", 5), 5);
    EXPECT_LT(wakeups(), 30);
    EXPECT_EQ(events.seen, Seen{"open 0"});
    listener.pauseReading(false);
    EXPECT_EQ(until(2), (Seen{"open 0", "line 0 held"}));
    close(a);
    EXPECT_EQ(until(3), (Seen{"open 0", "line 0 held", "closed 0"}));
}

TEST_F(Descriptors, OutOfDescriptorsAcceptingRestsLogsOnceAndResumes) {
#ifdef __SANITIZE_ADDRESS__
    // The sanitizers' runtime opens a pipe to check memory; without descriptors it reports
    // false faults. The plain build runs this test.
    GTEST_SKIP() << "no spare descriptors for the sanitizer runtime";
#endif
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    // The peer's socket first; then every descriptor the lowered limit leaves is taken.
    const int peer = socket(AF_INET, SOCK_STREAM, 0);
    std::vector<int> taken;
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(peer) + 16;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    for (int fd; (fd = dup(peer)) >= 0;) taken.push_back(fd);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(kPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const int wokeWhileOut = wakeups();
    const Seen seenWhileOut = events.seen;
    for (int fd : taken) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_LT(wokeWhileOut, 30);
    EXPECT_EQ(seenWhileOut, Seen{"error 24"});
    EXPECT_EQ(until(2), (Seen{"error 24", "open 0"}));
    close(peer);
}

}  // namespace
}  // namespace korrin
