// Winsock listener. Events are re-checked against the live tables: a socket message may arrive
// for a connection an earlier handler already closed.
#include "server/win32/winsock_listener_win.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "server/net/socket_address.h"

namespace korrin {

namespace {

constexpr UINT kMsgAccept = WM_APP + 10;  // wParam listening socket, lParam as below
constexpr UINT kMsgClosed = WM_APP + 11;  // wParam connection id
constexpr UINT kMsgResume = WM_APP + 12;  // reading resumed: read what waits on every socket
constexpr UINT_PTR kLingerTimer = 1;      // the end of the earliest lingering connection
// Socket messages of connections (wParam socket, lParam WSAGETSELECTEVENT/ERROR), one number
// per connection; the range is far larger than the connections that can be open at once.
constexpr UINT kMsgConnFirst = WM_APP + 0x100;
constexpr UINT kMsgConnLast = 0xBFFF;
constexpr char kWindowClass[] = "KorrinListenerSink";
constexpr size_t kReadChunk = 64 * 1024;

const SocketErrors kErrors = {WSAENOTSOCK, WSAENOTCONN,      WSAENOBUFS,      WSAEMFILE,
                              WSAEMSGSIZE, WSAEADDRNOTAVAIL, winsockErrorText};

void startWinsock() {
    static bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
}

}  // namespace

struct WinsockListener::Conn : Connection {
    UniqueSocket socket;
    UINT message = 0;           // its own socket message number
    bool peerFinished = false;  // its FIN came while its last answer was still going out
    std::chrono::steady_clock::time_point lingerUntil;
};

WinsockListener::Conn& WinsockListener::of(Connection& c) {
    return static_cast<Conn&>(c);
}

WinsockListener::WinsockListener(ListenerEvents& events, int maxConnections)
    : ConnectionTable(events, maxConnections, kErrors), nextMessage_(kMsgConnFirst) {
    startWinsock();
    createMessageOnly(kWindowClass);
}

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
            forEachOpen([this](Connection& c) {
                PostMessageA(hwnd(), of(c).message, of(c).socket.get(), FD_READ);
            });
            return 0;
        case WM_TIMER:
            if (wp != kLingerTimer) break;
            forEachOpen([this](Connection& c) {
                if (c.lingering && std::chrono::steady_clock::now() >= of(c).lingerUntil)
                    beginClose(c);
            });
            rearmLingerTimer();
            return 0;
    }
    return Window::onMessage(msg, wp, lp);
}

// ---- listening and accepting ----

int WinsockListener::listenOn(const IpAddress& address, int32_t port) {
    UniqueSocket s(socket(address.v6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s) return WSAGetLastError();
    if (address.v6) setV6Only(s.get());
    socklen_t len = 0;
    const sockaddr_storage addr = socketAddress(address, port, &len);
    if (bind(s.get(), reinterpret_cast<const sockaddr*>(&addr), len) != 0 ||
        listen(s.get(), SOMAXCONN) != 0 ||
        WSAAsyncSelect(s.get(), hwnd(), kMsgAccept, FD_ACCEPT) != 0)
        return WSAGetLastError();
    listenSockets_.push_back(std::move(s));
    return 0;
}

bool WinsockListener::isListenSocket(SOCKET s) const {
    return std::any_of(listenSockets_.begin(), listenSockets_.end(),
                       [s](const UniqueSocket& l) { return l.get() == s; });
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
            std::string ip = ipAddressOf(a).text();
            freeaddrinfo(list);
            return ip;
        }
    }
    return "127.0.0.1";
}

void WinsockListener::pauseReading(bool paused) {
    if (paused_ == paused) return;
    paused_ = paused;
    if (!paused) PostMessageA(hwnd(), kMsgResume, 0, 0);
}

void WinsockListener::onAccept(SOCKET listenSocket) {
    if (!idFree()) return;  // acceptAgain() wakes it
    sockaddr_storage addr = {};
    int len = sizeof addr;
    UniqueSocket s(accept(listenSocket, reinterpret_cast<sockaddr*>(&addr), &len));
    if (!s) return;
    const IpAddress peer = ipAddressOf(addr);
    if (turnAway(peer)) return;
    const UINT message = takeMessage();
    if (message == 0) return;
    setNoDelay(s.get());
    if (WSAAsyncSelect(s.get(), hwnd(), message, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
        const int err = WSAGetLastError();
        returnMessage(message);
        events().error(err, "Cannot accept a connection: " + winsockErrorText(err));
        return;
    }
    auto record = std::make_unique<Conn>();
    const std::string local = localAddressText(s.get());
    record->socket = std::move(s);
    record->message = message;
    Connection& c = add(std::move(record), peer, local);
    byMessage_[message] = c.id;
    opened(c);
}

void WinsockListener::acceptAgain() {
    for (const UniqueSocket& s : listenSockets_)
        PostMessageA(hwnd(), kMsgAccept, s.get(), FD_ACCEPT);
}

// ---- a connection's socket ----

UINT WinsockListener::takeMessage() {
    if (nextMessage_ <= kMsgConnLast) return nextMessage_++;
    if (freeMessages_.empty()) return 0;
    const UINT m = freeMessages_.front();
    freeMessages_.pop_front();
    return m;
}

void WinsockListener::returnMessage(UINT message) {
    freeMessages_.push_back(message);
}

void WinsockListener::onSocketEvent(UINT message, SOCKET s, int event, int error) {
    auto it = byMessage_.find(message);
    if (it == byMessage_.end()) return;
    const int id = it->second;
    Connection* c = find(id);
    // The connection is closing (what is still queued for it means nothing now), or the
    // message is not of its socket.
    if (!c || of(*c).socket.get() != s) return;
    switch (event) {
        case FD_READ:
            onRead(of(*c));
            break;
        case FD_WRITE:
            writable(*c);
            break;
        case FD_CLOSE:
            // Read what the peer sent before it closed, also while paused: no line is lost.
            if (error == 0) {
                onRead(of(*c), true);
                if ((c = find(id)) == nullptr) return;
                // A half-close ends the peer's request, not its wish for the answer: writable()
                // closes once that is out.
                if (c->closeWhenSent && c->out.pending() > 0) {
                    of(*c).peerFinished = true;
                    return;
                }
            }
            peerClosed(*c, error);
            break;
    }
}

void WinsockListener::onRead(Conn& conn, bool drain) {
    const int id = conn.id;
    char buf[kReadChunk];
    size_t total = 0;
    // One read per FD_READ: Winsock posts the next one while data is left, so each message
    // makes at most one more and a flooding peer cannot pile messages up ahead of the others.
    while (drain || total == 0) {
        Connection* c = find(id);
        if (!c) return;
        // Paused: leave the data with TCP; resuming reads it.
        if (paused_ && c->receiving && !drain) return;
        // A peer that sends on keeps a lingering connection's reads coming: its end comes here
        // too, where timer messages may wait behind them.
        if (c->lingering && std::chrono::steady_clock::now() >= of(*c).lingerUntil) {
            beginClose(*c);
            return;
        }
        const int n = recv(of(*c).socket.get(), buf, sizeof buf, 0);
        if (n == 0) {
            // FD_CLOSE follows; it decides whether an answer still goes out.
            if (drain) return;
            if (c->closeWhenSent && c->out.pending() > 0)
                of(*c).peerFinished = true;
            else
                peerClosed(*c, 0);
            return;
        }
        if (n < 0) {
            const int err = WSAGetLastError();
            if (err != WSAEWOULDBLOCK && !drain) peerClosed(*c, err);
            return;
        }
        total += static_cast<size_t>(n);
        received(*c, std::string_view(buf, static_cast<size_t>(n)));
    }
}

int WinsockListener::write(Connection& c, std::string_view bytes, size_t* written) {
    const int n = ::send(of(c).socket.get(), bytes.data(), static_cast<int>(bytes.size()), 0);
    *written = n > 0 ? static_cast<size_t>(n) : 0;
    if (n >= 0) return 0;
    const int err = WSAGetLastError();
    return err == WSAEWOULDBLOCK ? 0 : err;  // FD_WRITE tells when to go on
}

bool WinsockListener::peerLeft(Connection& c, int) {
    char b;
    return recv(of(c).socket.get(), &b, 1, MSG_PEEK) == 0;
}

std::string WinsockListener::takeWaiting(Connection& c) {
    const SOCKET s = of(c).socket.get();
    u_long waiting = 0;
    if (ioctlsocket(s, FIONREAD, &waiting) != 0 || waiting == 0) return {};
    std::string data(waiting, '\0');
    const int n = recv(s, &data[0], static_cast<int>(waiting), 0);
    data.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return data;
}

// Closing with the peer's bytes unread would send a reset, which may destroy the answer still on
// its way: the peer gets a FIN instead, and what it still sends is read and dropped until its own
// FIN or kLinger.
void WinsockListener::allSent(Connection& conn) {
    Conn& c = of(conn);
    if (c.peerFinished || shutdown(c.socket.get(), SD_SEND) != 0) {
        beginClose(c);
        return;
    }
    c.lingering = true;
    c.receiving = false;
    c.lingerUntil = std::chrono::steady_clock::now() + kLinger;
    // Bytes may wait with no FD_READ to come for them (one not taken while paused).
    PostMessageA(hwnd(), c.message, c.socket.get(), FD_READ);
    rearmLingerTimer();
}

// One timer for the earliest end of the lingering connections.
void WinsockListener::rearmLingerTimer() {
    std::optional<std::chrono::steady_clock::time_point> next;
    forEachOpen([&next](Connection& conn) {
        const Conn& c = of(conn);
        if (c.lingering && (!next || c.lingerUntil < *next)) next = c.lingerUntil;
    });
    if (!next) {
        KillTimer(hwnd(), kLingerTimer);
        return;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        *next - std::chrono::steady_clock::now())
                        .count() +
                    1;
    SetTimer(hwnd(), kLingerTimer, static_cast<UINT>(std::max<int64_t>(USER_TIMER_MINIMUM, ms)),
             nullptr);
}

void WinsockListener::closeSocket(Connection& c) {
    of(c).socket.reset();
    PostMessageA(hwnd(), kMsgClosed, static_cast<WPARAM>(c.id), 0);
}

// Every message queued for its socket came before its closed event: its number is free again.
void WinsockListener::released(Connection& c) {
    byMessage_.erase(of(c).message);
    returnMessage(of(c).message);
}

std::string winsockErrorText(int code) {
    switch (code) {
        case WSAEINTR:
            return "Interrupted function call";
        case WSAEACCES:
            return "Permission denied";
        case WSAEINVAL:
            return "Invalid argument";
        case WSAEWOULDBLOCK:
            return "Resource temporarily unavailable";
        case WSAENOTSOCK:
            return "No such connection";
        case WSAEMSGSIZE:
            return "Message too long";
        case WSAEADDRINUSE:
            return "Address already in use";
        case WSAEADDRNOTAVAIL:
            return "Cannot assign requested address";
        case WSAENETDOWN:
            return "Network is down";
        case WSAENETRESET:
            return "Network dropped connection on reset";
        case WSAECONNABORTED:
            return "Software caused connection abort";
        case WSAECONNRESET:
            return "Connection reset by peer";
        case WSAENOBUFS:
            return "No buffer space available";
        case WSAENOTCONN:
            return "Socket is not connected";
        case WSAESHUTDOWN:
            return "Cannot send after socket shutdown";
        case WSAETIMEDOUT:
            return "Connection timed out";
        case WSAECONNREFUSED:
            return "Connection refused";
        case WSAEHOSTUNREACH:
            return "No route to host";
        default:
            return "Socket error " + std::to_string(code);
    }
}

}  // namespace korrin
