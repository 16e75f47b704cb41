// The listener contract on Linux: non-blocking sockets watched by the one event loop. The same
// lifecycle as the Winsock listener: every connection's events are matched by a serial of its
// own, so an id (or an fd number) that comes back never takes an old connection's events; a
// connection closes at once and its closed event follows from the loop, holding its id until
// then.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/linux/event_loop_linux.h"
#include "server/net/line_framer.h"
#include "server/net/listener.h"
#include "server/net/log_throttle.h"
#include "server/net/send_buffer.h"

namespace korrin {

class EpollListener final : public Listener {
  public:
    // Out of descriptors: accepting rests this long instead of spinning on a readable socket.
    static constexpr std::chrono::milliseconds kAcceptRest{1000};
    // After a close-when-sent answer: how long what the peer still sends is read and dropped.
    static constexpr std::chrono::milliseconds kLinger{2000};

    // maxConnections: further peers are accepted and closed at once, without any event.
    EpollListener(EventLoop& loop, ListenerEvents& events, int maxConnections);
    ~EpollListener() override;
    EpollListener(const EpollListener&) = delete;
    EpollListener& operator=(const EpollListener&) = delete;

    OpResult setListening(bool on) override;
    OpResult setLocalPort(int32_t port) override;
    OpResult setLocalAddresses(const std::vector<IpAddress>& addresses) override;
    std::string localAddress() override;
    OpResult setLineDelimiter(int id, std::string_view delimiter) override;
    OpResult setReceiving(int id, bool on) override;
    std::string remoteAddress(int id) override;
    std::string localAddressOf(int id) override;
    bool isOpen(int id) override;
    OpResult closeConnection(int id) override;
    OpResult send(int id, std::string_view bytes) override;
    size_t pendingBytes(int id) override;
    OpResult closeWhenSent(int id) override;
    void pauseReading(bool paused) override;

  private:
    struct Conn;
    int listenOn(const IpAddress& address, int* error);
    void closeListenSockets();
    void onAccept(int listenFd);
    void onEvent(int id, uint64_t serial, uint32_t events);
    // drain: read everything waiting, ignoring the pause, then close (the peer has gone).
    void onRead(Conn& c, bool drain);
    int flush(Conn& c);  // 0, or the errno of a write that failed
    void onPeerClosed(Conn& c, int error);
    void beginClose(Conn& c);
    void deliverClosed(int id, uint64_t serial);
    void finishSending(Conn& c);
    uint32_t interest(const Conn& c) const;
    void updateInterest(Conn& c);
    void acceptWhenIdsFree(bool on);
    void watchListenSockets();
    void outOfDescriptors(int error);
    void rearmWakeup();
    void onWakeup();
    Conn* find(int id);

    EventLoop& loop_;
    ListenerEvents& events_;
    int maxConnections_;
    std::vector<int> listenFds_;
    std::vector<IpAddress> addresses_;
    int32_t port_ = 0;
    bool paused_ = false;
    bool acceptWaiting_ = false;  // every free id is held by a closing connection
    bool acceptResting_ = false;  // accept failed for want of descriptors
    bool restLogged_ = false;     // that was logged; again only after an accept succeeded
    std::chrono::steady_clock::time_point restUntil_;
    int wakeupFd_ = -1;  // a timerfd: the end of the rest, or of a connection's lingering
    LogThrottle turnedAwayLog_;   // peers turned away at the connection bound: a line a minute
    std::map<int, std::unique_ptr<Conn>> conns_;
    uint64_t nextSerial_ = 1;
};

}  // namespace korrin
