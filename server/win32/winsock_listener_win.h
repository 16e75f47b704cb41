// The listener contract on Winsock: non-blocking sockets whose events arrive through
// WSAAsyncSelect on a message-only window, so every event runs on the GUI thread.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/unique_socket_win.h"
#include "server/net/line_framer.h"
#include "server/net/listener.h"
#include "server/net/log_throttle.h"
#include "server/net/send_buffer.h"
#include "server/win32/window_win.h"

namespace korrin {

using oxa::UniqueSocket;

// Its socket messages arrive at a message-only window of its own.
class WinsockListener final : public Listener, private Window {
public:
    // maxConnections: further peers are accepted and closed at once, without any event.
    WinsockListener(ListenerEvents& events, int maxConnections);
    ~WinsockListener() override;
    WinsockListener(const WinsockListener&) = delete;
    WinsockListener& operator=(const WinsockListener&) = delete;

    OpResult setListening(bool on) override;
    OpResult setLocalPort(int32_t port) override;
    OpResult setLocalAddresses(const std::vector<IpAddress>& addresses) override;
    std::string localAddress() override;
    OpResult setLineDelimiter(int id, std::string_view delimiter) override;
    OpResult setReceiving(int id, bool on) override;
    std::string remoteAddress(int id) override;
    std::string localAddressOf(int id) override;
    OpResult closeConnection(int id) override;
    OpResult send(int id, std::string_view bytes) override;
    size_t pendingBytes(int id) override;
    OpResult closeWhenSent(int id) override;
    void pauseReading(bool paused) override;

    bool isOpen(int id) override;

private:
    struct Conn;
    class FramerSink;

    LRESULT onMessage(UINT msg, WPARAM wp, LPARAM lp) override;
    void onSocketEvent(UINT message, SOCKET s, int event, int error);
    void onAccept(SOCKET listenSocket);
    // Steps of onAccept.
    int liveConnections() const;
    // Every free id is still held by a closing connection: the peer waits in the backlog.
    bool mustWaitForAnId();
    // The peer is refused by the allow list or by the bound: closed at once, true.
    bool turnAway(const IpAddress& peer, int live);
    void registerConnection(UniqueSocket s, const IpAddress& peer);
    // drain: read everything waiting, ignoring the pause and the per-event share.
    void onRead(Conn& c, bool drain = false);
    // Writes what is buffered; 0, or the Winsock error of a write that failed.
    int flush(Conn& c);
    void onWrite(Conn& c);
    // The peer shut its side in an orderly way: a later failed write is its doing, not ours.
    static bool peerClosedOrderly(const Conn& c);
    void onPeerClosed(Conn& c, int error);
    // Reads what the network holds for the connection now, and no more.
    static std::string takeWaiting(Conn& c);
    // Closes the socket now; the id stays taken until the closed event has been delivered.
    void beginClose(Conn& c);
    void deliverClosed(int id);
    Conn* find(int id);

    // Each connection selects its socket's events under a message number of its own, taken
    // back only when its closed event has been delivered: every message Winsock queued for the
    // old socket lies before that event in the queue, so a socket handle value that comes back
    // for a new connection can never be matched by a message meant for the old one.
    UINT takeMessage();
    void returnMessage(UINT message);

    // Listens on one address; the socket, or none with *error set.
    UniqueSocket listenOn(const IpAddress& address, int* error);
    bool isListenSocket(SOCKET s) const;

    ListenerEvents& events_;
    int maxConnections_;
    std::vector<UniqueSocket> listenSockets_;
    std::vector<IpAddress> addresses_;
    int32_t port_ = 0;
    bool paused_ = false;
    bool acceptWaiting_ = false;
    LogThrottle turnedAwayLog_;  // peers turned away at the connection bound: a line a minute
    std::map<int, std::unique_ptr<Conn>> conns_;
    std::map<UINT, int> byMessage_;  // connection message number -> id
    std::deque<UINT> freeMessages_;  // oldest returned first
    UINT nextMessage_;
};

// Text for a Winsock error number, for the status line and the error log.
std::string winsockErrorText(int code);

}  // namespace korrin
