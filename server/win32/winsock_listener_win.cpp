// Winsock listener. Events are re-checked against the live tables: a socket message may arrive
// for a connection an earlier handler already closed.
#include "server/win32/winsock_listener_win.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace korrin {

namespace {

constexpr UINT kMsgAccept = WM_APP + 10;  // wParam listening socket, lParam as below
constexpr UINT kMsgClosed = WM_APP + 11;  // wParam connection id
constexpr UINT kMsgResume = WM_APP + 12;  // reading resumed: read what waits on every socket
// Socket messages of connections (wParam socket, lParam WSAGETSELECTEVENT/ERROR), one number
// per connection; the range is far larger than the connections that can be open at once.
constexpr UINT kMsgConnFirst = WM_APP + 0x100;
constexpr UINT kMsgConnLast = 0xBFFF;
constexpr char kWindowClass[] = "KorrinListenerSink";
constexpr size_t kReadChunk = 64 * 1024;

// Own code for a dropped overlong line: Winsock's "message too long".
constexpr int kLineTooLong = WSAEMSGSIZE;

void startWinsock() {
    static bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

OpResult fail(int code) { return OpResult{code, winsockErrorText(code)}; }

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

// The socket address of an IP address and port; its length in *len.
sockaddr_storage toSockaddr(const IpAddress& a, int32_t port, int* len) {
    sockaddr_storage s = {};
    if (a.v6) {
        auto& s6 = reinterpret_cast<sockaddr_in6&>(s);
        s6.sin6_family = AF_INET6;
        s6.sin6_port = htons(static_cast<u_short>(port));
        std::memcpy(&s6.sin6_addr, a.bytes.data(), 16);
        *len = sizeof s6;
    } else {
        auto& s4 = reinterpret_cast<sockaddr_in&>(s);
        s4.sin_family = AF_INET;
        s4.sin_port = htons(static_cast<u_short>(port));
        std::memcpy(&s4.sin_addr, a.bytes.data(), 4);
        *len = sizeof s4;
    }
    return s;
}

}  // namespace

struct WinsockListener::Conn {
    int id = 0;
    UniqueSocket socket;
    std::string remote;
    LineFramer framer;
    bool receiving = false;
    UINT message = 0;      // its own socket message number
    bool closing = false;  // socket gone, closed event pending
    bool closeWhenDrained = false;
    SendBuffer out;
    size_t pending() const { return out.pending(); }
};

class WinsockListener::FramerSink : public LineFramer::Sink {
public:
    FramerSink(ListenerEvents& e, int id) : events_(e), id_(id) {}
    void line(std::string_view text) override { events_.dataIn(id_, text, true); }
    void overlong() override {
        events_.error(kLineTooLong, "Line longer than 65536 bytes dropped");
    }

private:
    ListenerEvents& events_;
    int id_;
};

WinsockListener::WinsockListener(ListenerEvents& events, int maxConnections)
    : events_(events), maxConnections_(maxConnections), nextMessage_(kMsgConnFirst) {
    startWinsock();
    createMessageOnly(kWindowClass);
}

// The sockets close with their owners; the window goes last, with no message left to handle.
WinsockListener::~WinsockListener() = default;

LRESULT WinsockListener::onMessage(UINT msg, WPARAM wp, LPARAM lp) {
    if (msg >= kMsgConnFirst && msg <= kMsgConnLast) {
        onSocketEvent(msg, static_cast<SOCKET>(wp), WSAGETSELECTEVENT(lp), WSAGETSELECTERROR(lp));
        return 0;
    }
    switch (msg) {
    case kMsgAccept:
        // A stale one (the listening socket was replaced) finds nothing to accept.
        if (isListenSocket(static_cast<SOCKET>(wp))) onAccept(static_cast<SOCKET>(wp));
        return 0;
    case kMsgClosed:
        deliverClosed(static_cast<int>(wp));
        return 0;
    case kMsgResume:
        for (auto& [id, c] : conns_) {
            if (!c->closing) PostMessageA(hwnd(), c->message, c->socket.get(), FD_READ);
        }
        return 0;
    }
    return Window::onMessage(msg, wp, lp);
}

// ---- operations ----

OpResult WinsockListener::setListening(bool on) {
    if (!on) {
        listenSockets_.clear();
        return {};
    }
    if (!listenSockets_.empty()) return {};
    if (port_ < 1 || port_ > 65535) return fail(WSAEADDRNOTAVAIL);
    acceptWaiting_ = false;
    int error = 0;
    if (addresses_.empty()) {
        // Every interface: IPv4 must work; IPv6 joins where the machine has it.
        UniqueSocket s4 = listenOn(IpAddress{}, &error);
        if (!s4) return fail(error);
        listenSockets_.push_back(std::move(s4));
        IpAddress any6;
        any6.v6 = true;
        UniqueSocket s6 = listenOn(any6, &error);
        if (s6) listenSockets_.push_back(std::move(s6));
        return {};
    }
    for (const IpAddress& a : addresses_) {
        UniqueSocket s = listenOn(a, &error);
        if (!s) {
            listenSockets_.clear();
            return fail(error);
        }
        listenSockets_.push_back(std::move(s));
    }
    return {};
}

UniqueSocket WinsockListener::listenOn(const IpAddress& address, int* error) {
    UniqueSocket s(socket(address.v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s) {
        *error = WSAGetLastError();
        return s;
    }
    // An IPv6 socket serves IPv6 only: IPv4 has its own socket, or was not asked for.
    DWORD v6Only = 1;
    if (address.v6)
        setsockopt(s.get(), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6Only),
                   sizeof v6Only);
    int len = 0;
    sockaddr_storage addr = toSockaddr(address, port_, &len);
    if (bind(s.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        listen(s.get(), SOMAXCONN) != 0 ||
        WSAAsyncSelect(s.get(), hwnd(), kMsgAccept, FD_ACCEPT) != 0) {
        *error = WSAGetLastError();
        return UniqueSocket();
    }
    return s;
}

bool WinsockListener::isListenSocket(SOCKET s) const {
    return std::any_of(listenSockets_.begin(), listenSockets_.end(),
                       [s](const UniqueSocket& l) { return l.get() == s; });
}

OpResult WinsockListener::setLocalAddresses(const std::vector<IpAddress>& addresses) {
    addresses_ = addresses;
    return {};
}

OpResult WinsockListener::setLocalPort(int32_t port) {
    port_ = port;
    return {};
}

std::string WinsockListener::localAddress() {
    char name[256] = {};
    if (gethostname(name, sizeof name) == 0) {
        addrinfo hints = {};
        hints.ai_family = AF_INET;
        addrinfo* list = nullptr;
        if (getaddrinfo(name, nullptr, &hints, &list) == 0 && list) {
            sockaddr_storage a = {};
            std::memcpy(&a, list->ai_addr, sizeof(sockaddr_in));
            std::string ip = fromSockaddr(a).text();
            freeaddrinfo(list);
            return ip;
        }
    }
    return "127.0.0.1";
}

WinsockListener::Conn* WinsockListener::find(int id) {
    auto it = conns_.find(id);
    if (it == conns_.end() || it->second->closing) return nullptr;
    return it->second.get();
}

OpResult WinsockListener::setLineDelimiter(int id, std::string_view delimiter) {
    Conn* c = find(id);
    if (!c) return fail(WSAENOTSOCK);
    c->framer.setDelimiter(delimiter);
    return {};
}

OpResult WinsockListener::setReceiving(int id, bool on) {
    Conn* c = find(id);
    if (!c) return fail(WSAENOTSOCK);
    c->receiving = on;
    return {};
}

bool WinsockListener::isOpen(int id) { return find(id) != nullptr; }

std::string WinsockListener::remoteAddress(int id) {
    Conn* c = find(id);
    return c ? c->remote : std::string();
}

std::string WinsockListener::localAddressOf(int id) {
    Conn* c = find(id);
    sockaddr_storage addr = {};
    int len = sizeof addr;
    if (!c || getsockname(c->socket.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return {};
    return fromSockaddr(addr).text();
}

OpResult WinsockListener::closeConnection(int id) {
    Conn* c = find(id);
    if (!c) return fail(WSAENOTSOCK);
    // A socket closed with unread data resets the connection, and the peer's lines there were
    // acknowledged: they are read first, as when the peer closes. Only what is there now, so
    // that a peer still sending cannot hold the close up.
    const bool lines = c->receiving && !c->framer.delimiter().empty();
    const std::string waiting = lines ? takeWaiting(*c) : std::string();
    beginClose(*c);
    if (waiting.empty()) return {};
    // Closing already: whatever the handlers do, the connection stays in the table until its
    // closed event.
    FramerSink sink(events_, id);
    c->framer.feed(waiting, sink);
    const std::string rest = c->framer.takeRest();
    if (!rest.empty()) events_.dataIn(id, rest, false);
    return {};
}

std::string WinsockListener::takeWaiting(Conn& c) {
    u_long waiting = 0;
    if (ioctlsocket(c.socket.get(), FIONREAD, &waiting) != 0 || waiting == 0) return {};
    std::string data(waiting, '\0');
    const int n = recv(c.socket.get(), &data[0], static_cast<int>(waiting), 0);
    data.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return data;
}

OpResult WinsockListener::send(int id, std::string_view bytes) {
    Conn* c = find(id);
    if (!c) return fail(WSAENOTCONN);
    const bool wasIdle = c->pending() == 0;
    if (!c->out.append(bytes))
        return OpResult{WSAENOBUFS, "Receiver too slow: more than 4 MiB unsent"};
    if (!wasIdle) return {};  // FD_WRITE goes on with it
    const int err = flush(*c);
    if (err == 0) return {};
    // A peer that left in an orderly way, its close not yet seen, has not failed: it goes
    // the way of any peer that closes.
    if (peerClosedOrderly(*c)) {
        onPeerClosed(*c, 0);
        return {};
    }
    return fail(err);
}

size_t WinsockListener::pendingBytes(int id) {
    Conn* c = find(id);
    return c ? c->pending() : 0;
}

OpResult WinsockListener::closeWhenSent(int id) {
    Conn* c = find(id);
    if (!c) return fail(WSAENOTSOCK);
    if (c->pending() == 0) {
        beginClose(*c);
    } else {
        c->closeWhenDrained = true;  // onWrite closes it
    }
    return {};
}

void WinsockListener::pauseReading(bool paused) {
    if (paused_ == paused) return;
    paused_ = paused;
    if (!paused) PostMessageA(hwnd(), kMsgResume, 0, 0);
}

// ---- events ----

UINT WinsockListener::takeMessage() {
    if (nextMessage_ <= kMsgConnLast) return nextMessage_++;
    if (freeMessages_.empty()) return 0;
    const UINT m = freeMessages_.front();
    freeMessages_.pop_front();
    return m;
}

void WinsockListener::returnMessage(UINT message) { freeMessages_.push_back(message); }

void WinsockListener::onSocketEvent(UINT message, SOCKET s, int event, int error) {
    auto it = byMessage_.find(message);
    if (it == byMessage_.end()) return;
    const int id = it->second;
    Conn* c = find(id);
    // The connection is closing (what is still queued for it means nothing now), or the
    // message is not of its socket.
    if (!c || c->socket.get() != s) return;
    switch (event) {
    case FD_READ:
        onRead(*c);
        break;
    case FD_WRITE:
        onWrite(*c);
        break;
    case FD_CLOSE:
        // Read what the peer sent before it closed, also while paused: no line is lost.
        if (error == 0) {
            onRead(*c, true);
            if ((c = find(id)) == nullptr) return;
            // A half-close ends the peer's request, not its wish for the answer: onWrite
            // closes once that is out.
            if (c->closeWhenDrained && c->pending() > 0) return;
        }
        onPeerClosed(*c, error);
        break;
    }
}

void WinsockListener::onAccept(SOCKET listenSocket) {
    if (mustWaitForAnId()) return;
    const int live = liveConnections();
    sockaddr_storage addr = {};
    int len = sizeof addr;
    UniqueSocket s(accept(listenSocket, reinterpret_cast<sockaddr*>(&addr), &len));
    if (!s) return;
    const IpAddress peer = fromSockaddr(addr);
    if (turnAway(peer, live)) return;
    registerConnection(std::move(s), peer);
}

int WinsockListener::liveConnections() const {
    return static_cast<int>(std::count_if(conns_.begin(), conns_.end(),
                                          [](const auto& e) { return !e.second->closing; }));
}

bool WinsockListener::mustWaitForAnId() {
    // Woken again by the next closed event that is delivered (deliverClosed).
    if (liveConnections() >= maxConnections_ ||
        static_cast<int>(conns_.size()) < maxConnections_)
        return false;
    acceptWaiting_ = true;
    return true;
}

bool WinsockListener::turnAway(const IpAddress& peer, int live) {
    if (!events_.connectionRequest(peer)) return true;
    if (live < maxConnections_) return false;
    if (turnedAwayLog_.allow("bound", std::chrono::steady_clock::now())) {
        events_.error(WSAEMFILE, "Too many connections (" + std::to_string(maxConnections_) +
                                     "): a connection from " + peer.text() + " was refused");
    }
    return true;
}

void WinsockListener::registerConnection(UniqueSocket s, const IpAddress& peer) {
    const UINT message = takeMessage();
    if (message == 0) return;
    BOOL noDelay = TRUE;
    setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    if (WSAAsyncSelect(s.get(), hwnd(), message, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        returnMessage(message);
        return;
    }
    auto c = std::make_unique<Conn>();
    c->id = lowestFreeId(conns_);
    c->socket = std::move(s);
    c->message = message;
    c->remote = peer.text();
    const int id = c->id;
    conns_[id] = std::move(c);
    byMessage_[message] = id;
    events_.connectionOpened(id);
}

void WinsockListener::onRead(Conn& conn, bool drain) {
    const int id = conn.id;
    char buf[kReadChunk];
    size_t total = 0;
    // One read per FD_READ: Winsock posts the next one while data is left, so each message
    // makes at most one more and a flooding peer cannot pile messages up ahead of the others.
    while (drain || total == 0) {
        Conn* c = find(id);
        if (!c) return;
        // Paused: leave the data with TCP; resuming reads it.
        if (paused_ && c->receiving && !drain) return;
        int n = recv(c->socket.get(), buf, sizeof buf, 0);
        if (n == 0) {
            // FD_CLOSE follows; it decides whether an answer still goes out.
            if (!drain && !(c->closeWhenDrained && c->pending() > 0)) onPeerClosed(*c, 0);
            return;
        }
        if (n < 0) {
            int err = WSAGetLastError();
            if (err != WSAEWOULDBLOCK && !drain) onPeerClosed(*c, err);
            return;
        }
        total += static_cast<size_t>(n);
        if (!c->receiving) continue;  // read only to notice the peer's close
        std::string_view data(buf, static_cast<size_t>(n));
        if (c->framer.delimiter().empty()) {
            events_.dataIn(id, data, false);
        } else {
            FramerSink sink(events_, id);
            c->framer.feed(data, sink);
        }
    }
}

int WinsockListener::flush(Conn& c) {
    while (c.pending() > 0) {
        const size_t chunk = std::min<size_t>(c.pending(), 256 * 1024);
        int n = ::send(c.socket.get(), c.out.data(), static_cast<int>(chunk), 0);
        if (n < 0) {
            int err = WSAGetLastError();
            return err == WSAEWOULDBLOCK ? 0 : err;  // FD_WRITE tells when to go on
        }
        c.out.consumed(static_cast<size_t>(n));
    }
    return 0;
}

void WinsockListener::onWrite(Conn& c) {
    const int err = flush(c);
    if (err != 0) {
        onPeerClosed(c, peerClosedOrderly(c) ? 0 : err);
    } else if (c.closeWhenDrained && c.pending() == 0) {
        beginClose(c);
    }
}

bool WinsockListener::peerClosedOrderly(const Conn& c) {
    char b;
    return recv(c.socket.get(), &b, 1, MSG_PEEK) == 0;
}

void WinsockListener::onPeerClosed(Conn& c, int error) {
    const int id = c.id;
    if (error != 0) events_.error(error, winsockErrorText(error));
    Conn* live = find(id);
    if (!live) return;
    if (live->receiving && !live->framer.delimiter().empty()) {
        std::string rest = live->framer.takeRest();
        if (!rest.empty()) {
            events_.dataIn(id, rest, false);
            live = find(id);
            if (!live) return;
        }
    }
    beginClose(*live);
}

void WinsockListener::beginClose(Conn& c) {
    c.socket.reset();
    c.closing = true;
    c.out.clear();
    PostMessageA(hwnd(), kMsgClosed, static_cast<WPARAM>(c.id), 0);
}

void WinsockListener::deliverClosed(int id) {
    auto it = conns_.find(id);
    if (it == conns_.end() || !it->second->closing) return;
    // Every message queued for its socket came before this one: its number is free again.
    byMessage_.erase(it->second->message);
    returnMessage(it->second->message);
    conns_.erase(it);
    if (acceptWaiting_) {
        acceptWaiting_ = false;
        for (const UniqueSocket& s : listenSockets_)
            PostMessageA(hwnd(), kMsgAccept, s.get(), FD_ACCEPT);
    }
    events_.connectionClosed(id);
}

std::string winsockErrorText(int code) {
    switch (code) {
    case WSAEINTR: return "Interrupted function call";
    case WSAEACCES: return "Permission denied";
    case WSAEINVAL: return "Invalid argument";
    case WSAEWOULDBLOCK: return "Resource temporarily unavailable";
    case WSAENOTSOCK: return "No such connection";
    case WSAEMSGSIZE: return "Message too long";
    case WSAEADDRINUSE: return "Address already in use";
    case WSAEADDRNOTAVAIL: return "Cannot assign requested address";
    case WSAENETDOWN: return "Network is down";
    case WSAENETRESET: return "Network dropped connection on reset";
    case WSAECONNABORTED: return "Software caused connection abort";
    case WSAECONNRESET: return "Connection reset by peer";
    case WSAENOBUFS: return "No buffer space available";
    case WSAENOTCONN: return "Socket is not connected";
    case WSAESHUTDOWN: return "Cannot send after socket shutdown";
    case WSAETIMEDOUT: return "Connection timed out";
    case WSAECONNREFUSED: return "Connection refused";
    case WSAEHOSTUNREACH: return "No route to host";
    default: return "Socket error " + std::to_string(code);
    }
}

}  // namespace korrin
