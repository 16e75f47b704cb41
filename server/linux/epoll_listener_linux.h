// The listener contract on Linux: non-blocking sockets watched by the one event loop, their
// connections kept by the ConnectionTable as on Windows. Every socket's events carry the
// connection's serial, so an fd number that comes back never takes an old connection's events.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "server/linux/event_loop_linux.h"
#include "server/net/connection_table.h"

namespace korrin {

class EpollListener final : public ConnectionTable {
  public:
    // Out of descriptors: accepting rests this long instead of spinning on a readable socket.
    static constexpr std::chrono::milliseconds kAcceptRest{1000};
    // After a close-when-sent answer: how long what the peer still sends is read and dropped.
    static constexpr std::chrono::milliseconds kLinger{2000};

    EpollListener(EventLoop& loop, ListenerEvents& events, int maxConnections);
    ~EpollListener() override;

    std::string localAddress() override;
    void pauseReading(bool paused) override;

  private:
    struct Conn;
    static Conn& of(Connection& c);
    // The connection of the serial, while it is not closing.
    Conn* live(int id, uint64_t serial);

    // Listening and accepting.
    int listenOn(const IpAddress& address, int32_t port) override;
    void closeListenSockets() override;
    void onAccept(int listenFd);
    void acceptAgain() override { watchListenSockets(); }
    void watchListenSockets();
    // Accept failed (logged when for want of resources; otherwise a peer may have given up), or
    // the accepted socket could not be watched (logged whatever the error).
    void acceptFailed(int error, bool accepted);
    void outOfDescriptors(int error);

    // A connection's socket.
    void onEvent(int id, uint64_t serial, uint32_t events);
    // drain: read everything waiting, ignoring the pause, then close (the peer has gone).
    void onRead(Conn& c, bool drain);
    int write(Connection& c, std::string_view bytes, size_t* written) override;
    bool peerLeft(Connection& c, int error) override;
    std::string takeWaiting(Connection& c) override;
    void allSent(Connection& c) override;
    void closeSocket(Connection& c) override;
    uint32_t interest(const Conn& c) const;
    void interestChanged(Connection& c) override;

    // The timer for the end of the accept rest, and of a connection's lingering.
    void rearmWakeup();
    void onWakeup();

    EventLoop& loop_;
    std::vector<oxa::UniqueFd> listenFds_;
    bool paused_ = false;
    bool acceptResting_ = false;  // accept failed for want of descriptors
    bool restLogged_ = false;     // that was logged; again only after an accept succeeded
    bool watchLogged_ = false;    // a listening socket's change failed; again after one works
    std::chrono::steady_clock::time_point restUntil_;
    oxa::UniqueFd wakeupFd_;  // a timerfd
};

}  // namespace korrin
