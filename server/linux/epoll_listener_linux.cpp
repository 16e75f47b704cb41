#include "server/linux/epoll_listener_linux.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "server/net/socket_address.h"

namespace korrin {

namespace {

constexpr size_t kReadChunk = 64 * 1024;

std::string errnoText(int code) {
    return strerror(code);
}

const SocketErrors kErrors = {ENOTSOCK, ENOTCONN,      ENOBUFS,  EMFILE,
                              EMSGSIZE, EADDRNOTAVAIL, errnoText};

}  // namespace

struct EpollListener::Conn : Connection {
    oxa::UniqueFd fd;
    bool peerFinished = false;  // its FIN came while its last answer was still going out
    std::chrono::steady_clock::time_point lingerUntil;
};

EpollListener::Conn& EpollListener::of(Connection& c) {
    return static_cast<Conn&>(c);
}

EpollListener::Conn* EpollListener::live(int id, uint64_t serial) {
    Connection* c = find(id, serial);
    return c ? &of(*c) : nullptr;
}

EpollListener::EpollListener(EventLoop& loop, ListenerEvents& events, int maxConnections)
    : ConnectionTable(events, maxConnections, kErrors), loop_(loop) {
    // Made now: when it is needed, descriptors may have run out.
    wakeupFd_.reset(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!wakeupFd_ || !loop_.watch(wakeupFd_.get(), EPOLLIN, [this](uint32_t) { onWakeup(); }))
        throw std::runtime_error(std::string("the listener's timer cannot be made: ") +
                                 strerror(errno));
}

// The sockets close with their records, after the loop has let go of them.
EpollListener::~EpollListener() {
    forEachOpen([this](Connection& c) { loop_.unwatch(of(c).fd.get()); });
    closeListenSockets();
    loop_.unwatch(wakeupFd_.get());
}

// ---- listening and accepting ----

int EpollListener::listenOn(const IpAddress& address, int32_t port) {
    oxa::UniqueFd s(
        socket(address.v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!s) return errno;
    // A port just closed stays usable.
    const int one = 1;
    setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (address.v6) setV6Only(s.get());
    socklen_t len = 0;
    const sockaddr_storage addr = socketAddress(address, port, &len);
    if (bind(s.get(), reinterpret_cast<const sockaddr*>(&addr), len) != 0 ||
        listen(s.get(), SOMAXCONN) != 0)
        return errno;
    const int fd = s.get();
    if (!loop_.watch(fd, EPOLLIN, [this, fd](uint32_t) { onAccept(fd); })) return errno;
    acceptResting_ = false;  // a new socket is watched for peers at once
    listenFds_.push_back(std::move(s));
    return 0;
}

void EpollListener::closeListenSockets() {
    for (const oxa::UniqueFd& s : listenFds_) loop_.unwatch(s.get());
    listenFds_.clear();
}

std::string EpollListener::localAddress() {
    // The address a datagram socket would leave by: no packet is sent.
    const oxa::UniqueFd s(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    inet_pton(AF_INET, "192.0.2.1", &to.sin_addr);
    std::string text;
    if (s && connect(s.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
        text = localAddressText(s.get());
    return text.empty() ? "127.0.0.1" : text;
}

void EpollListener::pauseReading(bool paused) {
    if (paused_ == paused) return;
    paused_ = paused;
    forEachOpen([this](Connection& c) { interestChanged(c); });
}

void EpollListener::watchListenSockets() {
    const bool on = !waitingForAnId() && !acceptResting_;
    for (const oxa::UniqueFd& s : listenFds_) {
        if (loop_.modify(s.get(), on ? uint32_t{EPOLLIN} : 0u)) {
            watchLogged_ = false;
        } else if (!watchLogged_) {
            // Logged once: a socket left readable calls here again at once.
            watchLogged_ = true;
            events().error(errno, std::string("Cannot change what a listening socket waits for: ") +
                                      strerror(errno));
        }
    }
}

// The listening socket stays readable while accept fails for want of descriptors: it is left
// alone for a while instead, the peers waiting in the backlog.
void EpollListener::outOfDescriptors(int error) {
    acceptResting_ = true;
    restUntil_ = std::chrono::steady_clock::now() + kAcceptRest;
    watchListenSockets();
    rearmWakeup();
    if (restLogged_) return;
    restLogged_ = true;
    events().error(error, std::string("Cannot accept connections: ") + strerror(error) +
                              "; new peers wait until descriptors are free");
}

void EpollListener::acceptFailed(int error, bool accepted) {
    if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM ||
        error == ENOSPC)
        outOfDescriptors(error);
    else if (accepted)
        events().error(error, std::string("Cannot accept a connection: ") + strerror(error));
}

void EpollListener::onAccept(int listenFd) {
    if (!idFree()) {
        watchListenSockets();  // until a closed event frees an id
        return;
    }
    sockaddr_storage addr = {};
    socklen_t len = sizeof addr;
    oxa::UniqueFd s(
        accept4(listenFd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!s) {
        acceptFailed(errno, false);
        return;
    }
    restLogged_ = false;
    const IpAddress peer = ipAddressOf(addr);
    if (turnAway(peer)) return;
    setNoDelay(s.get());
    const int fd = s.get();
    auto record = std::make_unique<Conn>();
    record->fd = std::move(s);
    Conn& c = of(add(std::move(record), peer, localAddressText(fd)));
    const int id = c.id;
    const uint64_t serial = c.serial;
    if (!loop_.watch(fd, interest(c),
                     [this, id, serial](uint32_t ev) { onEvent(id, serial, ev); })) {
        const int err = errno;
        discard(id);
        acceptFailed(err, true);
        return;
    }
    opened(c);
}

// ---- a connection's socket ----

void EpollListener::onEvent(int id, uint64_t serial, uint32_t ev) {
    Conn* c = live(id, serial);
    if (!c) return;  // another connection's, or closing
    if (ev & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        // The peer is gone: what it sent before is read, also while paused, so no line is lost.
        onRead(*c, true);
        return;
    }
    if (ev & EPOLLIN) {
        onRead(*c, false);
        if ((c = live(id, serial)) == nullptr) return;
    }
    if (ev & EPOLLOUT) writable(*c);
}

void EpollListener::onRead(Conn& conn, bool drain) {
    const int id = conn.id;
    const uint64_t serial = conn.serial;
    char buf[kReadChunk];
    // One read per readiness: a flooding peer cannot keep the others (or the ticks) waiting.
    for (bool first = true; first || drain; first = false) {
        Conn* c = live(id, serial);
        if (!c) return;
        if (paused_ && c->receiving && !drain) return;
        const ssize_t n = recv(c->fd.get(), buf, sizeof buf, 0);
        if (n == 0) {
            if (c->closeWhenSent && c->out.pending() > 0 && !c->peerFinished) {
                // A half-close ends the peer's request, not its wish for the answer: that goes
                // on until it is out.
                c->peerFinished = true;
                interestChanged(*c);
                return;
            }
            peerClosed(*c, 0);
            return;
        }
        if (n < 0) {
            const int err = errno;
            if (err == EINTR) continue;
            if (err != EAGAIN && err != EWOULDBLOCK)
                peerClosed(*c, err);
            else if (drain)
                peerClosed(*c, 0);
            return;
        }
        received(*c, std::string_view(buf, static_cast<size_t>(n)));
    }
}

int EpollListener::write(Connection& c, std::string_view bytes, size_t* written) {
    const ssize_t n = ::send(of(c).fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    *written = n > 0 ? static_cast<size_t>(n) : 0;
    if (n >= 0 || errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return errno;
}

bool EpollListener::peerLeft(Connection&, int error) {
    return error == EPIPE;
}

std::string EpollListener::takeWaiting(Connection& c) {
    const int fd = of(c).fd.get();
    int count = 0;
    if (ioctl(fd, FIONREAD, &count) != 0 || count <= 0) return {};
    std::string data(static_cast<size_t>(count), '\0');
    const ssize_t n = recv(fd, &data[0], data.size(), 0);
    data.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return data;
}

// Closing with the peer's bytes unread would send a reset, which may destroy the answer still on
// its way: the peer gets a FIN instead, and what it still sends is read and dropped until its own
// FIN or kLinger.
void EpollListener::allSent(Connection& conn) {
    Conn& c = of(conn);
    if (c.peerFinished || shutdown(c.fd.get(), SHUT_WR) != 0) {
        beginClose(c);
        return;
    }
    c.lingering = true;
    c.receiving = false;
    c.lingerUntil = std::chrono::steady_clock::now() + kLinger;
    interestChanged(c);
    rearmWakeup();
}

void EpollListener::closeSocket(Connection& conn) {
    Conn& c = of(conn);
    loop_.unwatch(c.fd.get());
    c.fd.reset();
    const int id = c.id;
    loop_.post([this, id] { deliverClosed(id); });
}

// Level-triggered: whatever is watched and not consumed fires again at once, so only what the
// connection's state will act on is watched.
uint32_t EpollListener::interest(const Conn& c) const {
    // The peer has finished sending: only the rest of the answer is left (EPOLLHUP and EPOLLERR
    // still come).
    if (c.peerFinished) return EPOLLOUT;
    uint32_t want = EPOLLRDHUP;
    // Paused: the data stays with TCP; only the peer's close is waited for.
    if (!paused_ || !c.receiving) want |= EPOLLIN;
    if (c.out.pending() > 0) want |= EPOLLOUT;
    return want;
}

// A connection whose events cannot be asked for as its state needs cannot be served.
void EpollListener::interestChanged(Connection& c) {
    if (c.closing || loop_.modify(of(c).fd.get(), interest(of(c)))) return;
    const int error = errno;
    events().error(error, "Cannot watch the connection of " + c.remote + ": " + strerror(error) +
                              "; it is closed");
    beginClose(c);
}

// ---- the wakeup timer ----

// One timer for the earliest of the rest's end and the lingering connections' ends.
void EpollListener::rearmWakeup() {
    std::optional<std::chrono::steady_clock::time_point> next;
    if (acceptResting_) next = restUntil_;
    forEachOpen([&next](Connection& conn) {
        const Conn& c = of(conn);
        if (c.lingering && (!next || c.lingerUntil < *next)) next = c.lingerUntil;
    });
    itimerspec timing = {};
    if (next) {
        const auto ns = std::max<int64_t>(1, std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                 *next - std::chrono::steady_clock::now())
                                                 .count());
        timing.it_value = {static_cast<time_t>(ns / 1000000000),
                           static_cast<long>(ns % 1000000000)};
    }
    timerfd_settime(wakeupFd_.get(), 0, &timing, nullptr);
}

void EpollListener::onWakeup() {
    uint64_t expirations = 0;
    if (read(wakeupFd_.get(), &expirations, sizeof expirations) != sizeof expirations) return;
    const auto now = std::chrono::steady_clock::now();
    if (acceptResting_ && now >= restUntil_) {
        acceptResting_ = false;
        watchListenSockets();
    }
    forEachOpen([this, now](Connection& c) {
        if (c.lingering && now >= of(c).lingerUntil) beginClose(c);
    });
    rearmWakeup();
}

}  // namespace korrin
