// What both listeners do the same way, whatever their sockets: the table of connections, who is
// admitted, and what the Listener operations do with a connection (sending, closing, framing
// lines, the close of a peer). Each listener adds only its socket calls, through the hooks at
// the end, and feeds the table its sockets' events.
//
// Every connection has the lowest id free and a serial of its own that is never given again: an
// id (or a socket handle value) that comes back never takes an old connection's events. A
// connection closes at once; its closed event follows from the listener's event queue, behind
// every event already queued for its socket, and holds its id until then.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/net/line_framer.h"
#include "server/net/listener.h"
#include "server/net/log_throttle.h"
#include "server/net/send_buffer.h"

namespace korrin {

// The numbers the table reports failures under, and their text: Winsock's on Windows, errno's
// on Linux.
struct SocketErrors {
    int noSuchConnection;     // an operation on a connection that is gone
    int notConnected;         // a send to a connection that is gone
    int noBufferSpace;        // unsent data past SendBuffer::kCap
    int tooManyConnections;   // a peer turned away at the bound
    int lineTooLong;          // a line dropped by the framer
    int addressNotAvailable;  // listening without a valid port
    std::string (*text)(int code);
};

// One connection; each listener derives its record from it, adding its socket.
struct Connection {
    virtual ~Connection() = default;
    int id = 0;
    uint64_t serial = 0;
    std::string remote;
    std::string local;  // the address of this computer the peer connected to
    LineFramer framer;
    bool receiving = false;
    bool closing = false;  // socket gone, closed event pending
    bool closeWhenSent = false;
    // The last answer is out and the write side shut: no longer open, though what the peer
    // still sends is read (and dropped) until it closes.
    bool lingering = false;
    SendBuffer out;
    size_t unsentAtClose = 0;  // what out held when the connection began to close
};

class ConnectionTable : public Listener {
  public:
    // maxConnections: further peers are accepted and closed at once, without any event.
    ConnectionTable(ListenerEvents& events, int maxConnections, const SocketErrors& errors);
    ConnectionTable(const ConnectionTable&) = delete;
    ConnectionTable& operator=(const ConnectionTable&) = delete;

    OpResult setListening(bool on) override;
    OpResult setLocalPort(int32_t port) override;
    OpResult setLocalAddresses(const std::vector<IpAddress>& addresses) override;
    std::vector<UnboundAddress> notBound() const override { return notBound_; }
    OpResult setLineDelimiter(int id, std::string_view delimiter) override;
    OpResult setReceiving(int id, bool on) override;
    std::string remoteAddress(int id) override;
    std::string localAddressOf(int id) override;
    bool isOpen(int id) override;
    OpResult closeConnection(int id) override;
    OpResult send(int id, std::string_view bytes) override;
    size_t pendingBytes(int id) override;
    OpResult closeWhenSent(int id) override;
    size_t unsentAtClose(int id) override;

  protected:
    // ---- for the listener ----

    ListenerEvents& events() { return events_; }

    // The connection while it is not closing; with a serial, only that connection.
    Connection* find(int id);
    Connection* find(int id, uint64_t serial);
    void forEachOpen(const std::function<void(Connection&)>& visit);

    // Accepting, step by step. Before accept: false while every free id is held by a closing
    // connection; the peer waits in the backlog until acceptAgain().
    bool idFree();
    bool waitingForAnId() const { return acceptWaiting_; }
    // After accept: true when the peer is refused, by the events or at the bound (logged at
    // most once a minute); the caller closes its socket.
    bool turnAway(const IpAddress& peer);
    // Gives an accepted connection its id and serial; opened() once its socket is watched, or
    // discard() when that failed (no event: it never was).
    Connection& add(std::unique_ptr<Connection> c, const IpAddress& peer, std::string local);
    void opened(const Connection& c);
    void discard(int id);

    // Bytes read from the connection: raw, or lines at its delimiter, while it is receiving.
    void received(Connection& c, std::string_view bytes);
    // Its socket takes bytes again.
    void writable(Connection& c);
    // The peer has gone (error 0: in an orderly way): the piece of a line it left is delivered,
    // then the connection closes.
    void peerClosed(Connection& c, int error);
    // Closes the socket now; the id stays taken until deliverClosed().
    void beginClose(Connection& c);
    // The closed event the listener queued in closeSocket(). A connection has one, and its id
    // is not given again before it is delivered: the id alone names it.
    void deliverClosed(int id);

    // ---- hooks: the listener's socket calls ----

    // Listens on one address and watches the socket; 0, or the error.
    virtual int listenOn(const IpAddress& address, int32_t port) = 0;
    virtual void closeListenSockets() = 0;
    // Writes from the front of bytes: 0 with *written set (0 when the network takes nothing
    // now), or the error of a write that failed.
    virtual int write(Connection& c, std::string_view bytes, size_t* written) = 0;
    // A write failed with the error: true when the peer had left in an orderly way.
    virtual bool peerLeft(Connection& c, int error) = 0;
    // What the network holds for the connection now, and no more.
    virtual std::string takeWaiting(Connection& c) = 0;
    // Closes the socket and queues the closed event (deliverClosed) behind its other events.
    virtual void closeSocket(Connection& c) = 0;
    // An id is free again for a peer left waiting by idFree().
    virtual void acceptAgain() = 0;
    // What is queued has been sent to a connection that closes when sent.
    virtual void allSent(Connection& c) { beginClose(c); }
    // What the connection waits for may have changed: receiving, or bytes to send.
    virtual void interestChanged(Connection& c) { (void)c; }
    // The connection's closed event is being delivered; its record goes next.
    virtual void released(Connection& c) { (void)c; }

  private:
    class FramerSink;
    std::vector<std::string_view> lineRun_;  // the lines of the read being cut
    OpResult fail(int code) const { return OpResult{code, errors_.text(code)}; }
    int openCount() const;
    // 0, or the error of a write that failed; what the network does not take now stays queued.
    int flush(Connection& c);
    void deliverRest(Connection& c);

    ListenerEvents& events_;
    int maxConnections_;
    SocketErrors errors_;
    std::vector<IpAddress> addresses_;
    std::vector<UnboundAddress> notBound_;
    int32_t port_ = 0;
    bool listening_ = false;
    bool acceptWaiting_ = false;  // every free id is held by a closing connection
    LogThrottle turnedAwayLog_;   // peers turned away at the connection bound: a line a minute
    std::map<int, std::unique_ptr<Connection>> conns_;
    std::pair<int, size_t> closedUnsent_{-1, 0};  // of the closed event being delivered
    uint64_t nextSerial_ = 1;
};

}  // namespace korrin
