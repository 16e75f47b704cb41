// The listener contract on Winsock: non-blocking sockets whose events arrive through
// WSAAsyncSelect on a message-only window, so every event runs on the GUI thread; their
// connections kept by the ConnectionTable as on Linux.
#pragma once

#include <winsock2.h>  // before windows.h, which it includes

#include <chrono>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "common/unique_socket_win.h"
#include "server/net/connection_table.h"
#include "server/win32/window_win.h"

namespace korrin {

using oxa::UniqueSocket;

// Its socket messages arrive at a message-only window of its own. The sockets close with their
// owners; the window, the first base, goes last, with no message left to handle.
class WinsockListener final : private Window, public ConnectionTable {
  public:
    // After a close-when-sent answer: how long what the peer still sends is read and dropped.
    static constexpr std::chrono::milliseconds kLinger{2000};

    WinsockListener(ListenerEvents& events, int maxConnections);
    std::string localAddress() override;
    void pauseReading(bool paused) override;

  private:
    LRESULT onMessage(UINT msg, WPARAM wp, LPARAM lp) override;
    void onSocketEvent(UINT message, SOCKET s, int event, int error);
    struct Conn;
    static Conn& of(Connection& c);

    // Listening and accepting.
    int listenOn(const IpAddress& address, int32_t port) override;
    void closeListenSockets() override { listenSockets_.clear(); }
    bool isListenSocket(SOCKET s) const;
    void onAccept(SOCKET listenSocket);
    void acceptAgain() override;

    // A connection's socket.
    // drain: read everything waiting, ignoring the pause and the per-event share.
    void onRead(Conn& c, bool drain = false);
    int write(Connection& c, std::string_view bytes, size_t* written) override;
    // The peer shut its side in an orderly way: a failed write is its doing, not ours.
    bool peerLeft(Connection& c, int error) override;
    std::string takeWaiting(Connection& c) override;
    void allSent(Connection& c) override;
    void rearmLingerTimer();
    void closeSocket(Connection& c) override;
    void released(Connection& c) override;

    // Each connection selects its socket's events under a message number of its own, taken
    // back only when its closed event has been delivered: every message Winsock queued for the
    // old socket lies before that event in the queue, so a socket handle value that comes back
    // for a new connection can never be matched by a message meant for the old one.
    UINT takeMessage();
    void returnMessage(UINT message);

    std::vector<UniqueSocket> listenSockets_;
    bool paused_ = false;
    std::map<UINT, int> byMessage_;  // connection message number -> id
    std::deque<UINT> freeMessages_;  // oldest returned first
    UINT nextMessage_;
};

// Text for a Winsock error number, for the status line and the error log.
std::string winsockErrorText(int code);

}  // namespace korrin
