#include "server/linux/epoll_listener_linux.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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

namespace korrin {

namespace {

constexpr size_t kReadChunk = 64 * 1024;

OpResult fail(int code) {
    return OpResult{code, strerror(code)};
}

IpAddress fromSockaddr(const sockaddr_storage& s) {
    IpAddress a;
    if (s.ss_family == AF_INET6) {
        a.v6 = true;
        std::memcpy(a.bytes.data(), &reinterpret_cast<const sockaddr_in6&>(s).sin6_addr, 16);
    } else {
        std::memcpy(a.bytes.data(), &reinterpret_cast<const sockaddr_in&>(s).sin_addr, 4);
    }
    return a.unmapped();
}

}  // namespace

struct EpollListener::Conn {
    int id = 0;
    uint64_t serial = 0;  // its events and no other's
    int fd = -1;
    std::string remote;
    LineFramer framer;
    bool receiving = false;
    bool closing = false;  // socket gone, closed event pending
    bool closeWhenDrained = false;
    bool peerFinished = false;  // its FIN came while its last answer was still going out
    bool lingering = false;     // answer sent, write side shut: reading to drop, until its FIN
    std::chrono::steady_clock::time_point lingerUntil;
    SendBuffer out;
    size_t pending() const { return out.pending(); }
};

EpollListener::EpollListener(EventLoop& loop, ListenerEvents& events, int maxConnections)
    : loop_(loop), events_(events), maxConnections_(maxConnections) {
    // Made now: when it is needed, descriptors may have run out.
    wakeupFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (wakeupFd_ < 0) throw std::runtime_error("timerfd_create failed");
    loop_.watch(wakeupFd_, EPOLLIN, [this](uint32_t) { onWakeup(); });
}

EpollListener::~EpollListener() {
    for (auto& [id, c] : conns_) {
        if (c->fd >= 0) {
            loop_.unwatch(c->fd);
            close(c->fd);
        }
    }
    closeListenSockets();
    loop_.unwatch(wakeupFd_);
    close(wakeupFd_);
}

// ---- operations ----

OpResult EpollListener::setListening(bool on) {
    if (!on) {
        closeListenSockets();
        return {};
    }
    if (!listenFds_.empty()) return {};
    if (port_ < 1 || port_ > 65535) return fail(EADDRNOTAVAIL);
    acceptWaiting_ = acceptResting_ = false;
    int error = 0;
    if (addresses_.empty()) {
        // Every interface: IPv4 must work; IPv6 joins where the machine has it.
        const int s4 = listenOn(IpAddress{}, &error);
        if (s4 < 0) return fail(error);
        listenFds_.push_back(s4);
        IpAddress any6;
        any6.v6 = true;
        const int s6 = listenOn(any6, &error);
        if (s6 >= 0) listenFds_.push_back(s6);
        return {};
    }
    for (const IpAddress& a : addresses_) {
        const int s = listenOn(a, &error);
        if (s < 0) {
            closeListenSockets();
            return fail(error);
        }
        listenFds_.push_back(s);
    }
    return {};
}

int EpollListener::listenOn(const IpAddress& address, int* error) {
    const int s =
        socket(address.v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
        *error = errno;
        return -1;
    }
    const int one = 1;
    // A port just closed stays usable; IPv6 serves IPv6 only (IPv4 has its own socket).
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (address.v6) setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_storage addr = {};
    socklen_t len = 0;
    if (address.v6) {
        auto& s6 = reinterpret_cast<sockaddr_in6&>(addr);
        s6.sin6_family = AF_INET6;
        s6.sin6_port = htons(static_cast<uint16_t>(port_));
        std::memcpy(&s6.sin6_addr, address.bytes.data(), 16);
        len = sizeof s6;
    } else {
        auto& s4 = reinterpret_cast<sockaddr_in&>(addr);
        s4.sin_family = AF_INET;
        s4.sin_port = htons(static_cast<uint16_t>(port_));
        std::memcpy(&s4.sin_addr, address.bytes.data(), 4);
        len = sizeof s4;
    }
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(s, SOMAXCONN) != 0) {
        *error = errno;
        close(s);
        return -1;
    }
    loop_.watch(s, EPOLLIN, [this, s](uint32_t) { onAccept(s); });
    return s;
}

void EpollListener::closeListenSockets() {
    for (int s : listenFds_) {
        loop_.unwatch(s);
        close(s);
    }
    listenFds_.clear();
}

OpResult EpollListener::setLocalPort(int32_t port) {
    port_ = port;
    return {};
}

OpResult EpollListener::setLocalAddresses(const std::vector<IpAddress>& addresses) {
    addresses_ = addresses;
    return {};
}

std::string EpollListener::localAddress() {
    // The address a datagram socket would leave by: no packet is sent.
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = {}, me = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    inet_pton(AF_INET, "192.0.2.1", &to.sin_addr);
    socklen_t len = sizeof me;
    std::string text = "127.0.0.1";
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&me), &len) == 0) {
        char buf[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &me.sin_addr, buf, sizeof buf)) text = buf;
    }
    if (s >= 0) close(s);
    return text;
}

EpollListener::Conn* EpollListener::find(int id) {
    auto it = conns_.find(id);
    if (it == conns_.end() || it->second->closing) return nullptr;
    return it->second.get();
}

OpResult EpollListener::setLineDelimiter(int id, std::string_view delimiter) {
    Conn* c = find(id);
    if (!c) return fail(ENOTSOCK);
    c->framer.setDelimiter(delimiter);
    return {};
}

OpResult EpollListener::setReceiving(int id, bool on) {
    Conn* c = find(id);
    if (!c) return fail(ENOTSOCK);
    c->receiving = on;
    updateInterest(*c);
    return {};
}

std::string EpollListener::remoteAddress(int id) {
    Conn* c = find(id);
    return c ? c->remote : std::string();
}

bool EpollListener::isOpen(int id) {
    const Conn* c = find(id);
    return c && !c->lingering;
}

std::string EpollListener::localAddressOf(int id) {
    Conn* c = find(id);
    sockaddr_storage addr = {};
    socklen_t len = sizeof addr;
    if (!c || getsockname(c->fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return {};
    return fromSockaddr(addr).text();
}

OpResult EpollListener::closeConnection(int id) {
    Conn* c = find(id);
    if (!c) return fail(ENOTSOCK);
    // A socket closed with unread data resets the connection, and the peer's lines there were
    // acknowledged: they are read first, as when the peer closes. Only what is there now, so
    // that a peer still sending cannot hold the close up.
    std::string waiting;
    int count = 0;
    if (c->receiving && !c->framer.delimiter().empty() && ioctl(c->fd, FIONREAD, &count) == 0 &&
        count > 0) {
        waiting.resize(static_cast<size_t>(count));
        const ssize_t n = recv(c->fd, &waiting[0], waiting.size(), 0);
        waiting.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    beginClose(*c);
    if (waiting.empty()) return {};
    // Closing already: the connection stays in the table until its closed event.
    struct Sink : LineFramer::Sink {
        ListenerEvents& events;
        int id;
        Sink(ListenerEvents& e, int i) : events(e), id(i) {}
        void line(std::string_view text) override { events.dataIn(id, text, true); }
        void overlong() override { events.error(EMSGSIZE, "Line longer than 65536 bytes dropped"); }
    } sink(events_, id);
    c->framer.feed(waiting, sink);
    const std::string rest = c->framer.takeRest();
    if (!rest.empty()) events_.dataIn(id, rest, false);
    return {};
}

OpResult EpollListener::send(int id, std::string_view bytes) {
    Conn* c = find(id);
    if (!c) return fail(ENOTCONN);
    const bool wasIdle = c->pending() == 0;
    if (!c->out.append(bytes))
        return OpResult{ENOBUFS, "Receiver too slow: more than 4 MiB unsent"};
    if (!wasIdle) return {};  // EPOLLOUT goes on with it
    const int err = flush(*c);
    updateInterest(*c);
    if (err == 0) return {};
    // A peer that left in an orderly way has not failed: it goes the way of any peer that closes.
    if (err == EPIPE) {
        onPeerClosed(*c, 0);
        return {};
    }
    return fail(err);
}

size_t EpollListener::pendingBytes(int id) {
    Conn* c = find(id);
    return c ? c->pending() : 0;
}

OpResult EpollListener::closeWhenSent(int id) {
    Conn* c = find(id);
    if (!c) return fail(ENOTSOCK);
    if (c->pending() == 0)
        finishSending(*c);
    else
        c->closeWhenDrained = true;
    return {};
}

void EpollListener::pauseReading(bool paused) {
    if (paused_ == paused) return;
    paused_ = paused;
    for (auto& [id, c] : conns_)
        if (!c->closing) updateInterest(*c);
}

// ---- events ----

// Level-triggered: whatever is watched and not consumed fires again at once, so only what the
// connection's state will act on is watched.
uint32_t EpollListener::interest(const Conn& c) const {
    // The peer has finished sending: only the rest of the answer is left (EPOLLHUP and EPOLLERR
    // still come).
    if (c.peerFinished) return EPOLLOUT;
    uint32_t want = EPOLLRDHUP;
    // Paused: the data stays with TCP; only the peer's close is waited for.
    if (!paused_ || !c.receiving) want |= EPOLLIN;
    if (c.pending() > 0) want |= EPOLLOUT;
    return want;
}

void EpollListener::updateInterest(Conn& c) {
    loop_.modify(c.fd, interest(c));
}

void EpollListener::acceptWhenIdsFree(bool on) {
    acceptWaiting_ = !on;
    watchListenSockets();
}

void EpollListener::watchListenSockets() {
    const bool on = !acceptWaiting_ && !acceptResting_;
    for (int s : listenFds_) loop_.modify(s, on ? uint32_t{EPOLLIN} : 0u);
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
    events_.error(error, std::string("Cannot accept connections: ") + strerror(error) +
                             "; new peers wait until descriptors are free");
}

// One timer for the earliest of the rest's end and the lingering connections' ends.
void EpollListener::rearmWakeup() {
    std::optional<std::chrono::steady_clock::time_point> next;
    if (acceptResting_) next = restUntil_;
    for (const auto& [id, c] : conns_)
        if (c->lingering && !c->closing && (!next || c->lingerUntil < *next)) next = c->lingerUntil;
    itimerspec timing = {};
    if (next) {
        const auto ns = std::max<int64_t>(
            1, std::chrono::duration_cast<std::chrono::nanoseconds>(
                   *next - std::chrono::steady_clock::now())
                   .count());
        timing.it_value = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    }
    timerfd_settime(wakeupFd_, 0, &timing, nullptr);
}

void EpollListener::onWakeup() {
    uint64_t expirations = 0;
    if (read(wakeupFd_, &expirations, sizeof expirations) != sizeof expirations) return;
    const auto now = std::chrono::steady_clock::now();
    if (acceptResting_ && now >= restUntil_) {
        acceptResting_ = false;
        watchListenSockets();
    }
    for (auto& [id, c] : conns_)
        if (c->lingering && !c->closing && now >= c->lingerUntil) beginClose(*c);
    rearmWakeup();
}

void EpollListener::onAccept(int listenFd) {
    const int live = static_cast<int>(std::count_if(
        conns_.begin(), conns_.end(), [](const auto& e) { return !e.second->closing; }));
    if (live < maxConnections_ && static_cast<int>(conns_.size()) >= maxConnections_) {
        // Every free id is still held by a closing connection: the peer waits in the backlog
        // until a closed event is delivered.
        acceptWhenIdsFree(false);
        return;
    }
    sockaddr_storage addr = {};
    socklen_t len = sizeof addr;
    const int s =
        accept4(listenFd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s < 0) {
        const int err = errno;
        if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM)
            outOfDescriptors(err);
        return;
    }
    restLogged_ = false;
    const IpAddress peer = fromSockaddr(addr);
    if (!events_.connectionRequest(peer)) {
        close(s);
        return;
    }
    if (live >= maxConnections_) {
        close(s);
        if (turnedAwayLog_.allow("bound", std::chrono::steady_clock::now()))
            events_.error(EMFILE, "Too many connections (" + std::to_string(maxConnections_) +
                                      "): a connection from " + peer.text() + " was refused");
        return;
    }
    const int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_unique<Conn>();
    c->id = lowestFreeId(conns_);
    c->serial = nextSerial_++;
    c->fd = s;
    c->remote = peer.text();
    const int id = c->id;
    const uint64_t serial = c->serial;
    Conn& conn = *c;
    conns_[id] = std::move(c);
    loop_.watch(s, interest(conn), [this, id, serial](uint32_t ev) { onEvent(id, serial, ev); });
    events_.connectionOpened(id);
}

void EpollListener::onEvent(int id, uint64_t serial, uint32_t ev) {
    Conn* c = find(id);
    if (!c || c->serial != serial) return;  // another connection's, or closing
    if (ev & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        // The peer is gone: what it sent before is read, also while paused, so no line is lost.
        onRead(*c, true);
        return;
    }
    if (ev & EPOLLIN) {
        onRead(*c, false);
        if ((c = find(id)) == nullptr || c->serial != serial) return;
    }
    if (ev & EPOLLOUT) {
        const int err = flush(*c);
        if (err != 0) {
            onPeerClosed(*c, err == EPIPE ? 0 : err);
        } else if (c->closeWhenDrained && c->pending() == 0) {
            finishSending(*c);
        } else {
            updateInterest(*c);
        }
    }
}

void EpollListener::onRead(Conn& conn, bool drain) {
    const int id = conn.id;
    const uint64_t serial = conn.serial;
    char buf[kReadChunk];
    // One read per readiness: a flooding peer cannot keep the others (or the ticks) waiting.
    for (bool first = true; first || drain; first = false) {
        Conn* c = find(id);
        if (!c || c->serial != serial) return;
        if (paused_ && c->receiving && !drain) return;
        const ssize_t n = recv(c->fd, buf, sizeof buf, 0);
        if (n == 0) {
            if (c->closeWhenDrained && c->pending() > 0 && !c->peerFinished) {
                // A half-close ends the peer's request, not its wish for the answer: that goes
                // on until it is out.
                c->peerFinished = true;
                updateInterest(*c);
                return;
            }
            onPeerClosed(*c, 0);
            return;
        }
        if (n < 0) {
            const int err = errno;
            if (err == EINTR) continue;
            if (err != EAGAIN && err != EWOULDBLOCK)
                onPeerClosed(*c, err);
            else if (drain)
                onPeerClosed(*c, 0);
            return;
        }
        if (!c->receiving) continue;  // read only to notice the peer's close
        const std::string_view data(buf, static_cast<size_t>(n));
        if (c->framer.delimiter().empty()) {
            events_.dataIn(id, data, false);
            continue;
        }
        struct Sink : LineFramer::Sink {
            ListenerEvents& events;
            int id;
            Sink(ListenerEvents& e, int i) : events(e), id(i) {}
            void line(std::string_view text) override { events.dataIn(id, text, true); }
            void overlong() override {
                events.error(EMSGSIZE, "Line longer than 65536 bytes dropped");
            }
        } sink(events_, id);
        c->framer.feed(data, sink);
    }
}

int EpollListener::flush(Conn& c) {
    while (c.pending() > 0) {
        const ssize_t n =
            ::send(c.fd, c.out.data(), std::min<size_t>(c.pending(), 256 * 1024), MSG_NOSIGNAL);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : errno;
        c.out.consumed(static_cast<size_t>(n));
    }
    return 0;
}

// Closing with the peer's bytes unread would send a reset, which may destroy the answer still on
// its way: the peer gets a FIN instead, and what it still sends is read and dropped until its own
// FIN or kLinger.
void EpollListener::finishSending(Conn& c) {
    if (c.peerFinished || shutdown(c.fd, SHUT_WR) != 0) {
        beginClose(c);
        return;
    }
    c.lingering = true;
    c.receiving = false;
    c.lingerUntil = std::chrono::steady_clock::now() + kLinger;
    updateInterest(c);
    rearmWakeup();
}

void EpollListener::onPeerClosed(Conn& c, int error) {
    const int id = c.id;
    if (error != 0) events_.error(error, strerror(error));
    Conn* live = find(id);
    if (!live) return;
    if (live->receiving && !live->framer.delimiter().empty()) {
        const std::string rest = live->framer.takeRest();
        if (!rest.empty()) {
            events_.dataIn(id, rest, false);
            if ((live = find(id)) == nullptr) return;
        }
    }
    beginClose(*live);
}

void EpollListener::beginClose(Conn& c) {
    loop_.unwatch(c.fd);
    close(c.fd);
    c.fd = -1;
    c.closing = true;
    c.out.clear();
    const int id = c.id;
    const uint64_t serial = c.serial;
    loop_.post([this, id, serial] { deliverClosed(id, serial); });
}

void EpollListener::deliverClosed(int id, uint64_t serial) {
    auto it = conns_.find(id);
    if (it == conns_.end() || !it->second->closing || it->second->serial != serial) return;
    conns_.erase(it);
    if (acceptWaiting_) acceptWhenIdsFree(true);
    events_.connectionClosed(id);
}

}  // namespace korrin
