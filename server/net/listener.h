// The TCP listener contract the relay talks to: one instance per port, events on the GUI thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/net/ip_address.h"

namespace korrin {

// Result of a listener operation; code 0 is success, otherwise a Winsock-style error number.
struct OpResult {
    int code = 0;
    std::string description;
    bool ok() const { return code == 0; }
};

// An address of the list the listener was given that it could not listen on.
struct UnboundAddress {
    IpAddress address;
    OpResult why;
};

// Events one listener delivers, one at a time, never inside another handler.
class ListenerEvents {
  public:
    virtual ~ListenerEvents() = default;
    virtual void connectionOpened(int id) = 0;
    // A peer knocks: true accepts it. A refused peer is closed at once and gets no id.
    virtual bool connectionRequest(const IpAddress& peer) {
        (void)peer;
        return true;
    }
    virtual void dataIn(int id, std::string_view text, bool endOfLine) = 0;
    // Complete lines of one read, in order; the same as a dataIn of each.
    virtual void linesIn(int id, const std::vector<std::string_view>& lines) {
        for (std::string_view line : lines) dataIn(id, line, true);
    }
    virtual void connectionClosed(int id) = 0;
    virtual void error(int code, std::string_view description) = 0;
    // Everything one read from a connection gave has been delivered.
    virtual void readDone(int id) { (void)id; }
};

class Listener {
  public:
    virtual ~Listener() = default;
    virtual OpResult setListening(bool on) = 0;
    virtual OpResult setLocalPort(int32_t port) = 0;
    // Where the next switch-on listens: empty for every interface, IPv4 and IPv6. An address
    // this computer does not have (or whose family it lacks, IPv6 switched off) is skipped, and
    // the port listens on the rest; with none left it stays closed.
    virtual OpResult setLocalAddresses(const std::vector<IpAddress>& addresses) = 0;
    // The addresses the port skipped, each with why, while it listens.
    virtual std::vector<UnboundAddress> notBound() const { return {}; }
    virtual std::string localAddress() = 0;
    virtual OpResult setLineDelimiter(int id, std::string_view delimiter) = 0;
    virtual OpResult setReceiving(int id, bool on) = 0;
    virtual std::string remoteAddress(int id) = 0;
    // The address of this computer the peer connected to (as getsockname gives it); empty
    // when the connection is gone or the address cannot be told.
    virtual std::string localAddressOf(int id) = 0;
    // True from the connection's opened event until it begins to close (closed here, or found
    // closed by its peer); its closed event may still be on its way after that.
    virtual bool isOpen(int id) = 0;
    // Closes the connection; its connectionClosed event follows later, from the event loop.
    // The lines a receiving, line-framed connection has already sent, and the network holds,
    // are delivered first, as when the peer closes.
    virtual OpResult closeConnection(int id) = 0;
    // Queues the bytes for sending; never blocks. Fails when the connection is gone or its
    // unsent data would pass the per-connection cap.
    virtual OpResult send(int id, std::string_view bytes) = 0;
    // Bytes queued for the connection and not yet taken by the network.
    virtual size_t pendingBytes(int id) = 0;
    // Closes the connection once what is queued for it has been handed to the network.
    virtual OpResult closeWhenSent(int id) = 0;
    // Bytes still queued for the connection when it closed, which it never got; asked while
    // its connectionClosed event is delivered.
    virtual size_t unsentAtClose(int id) {
        (void)id;
        return 0;
    }
    // Stops (true) or resumes (false) reading from every connection; TCP holds data back meanwhile.
    virtual void pauseReading(bool paused) = 0;
};

}  // namespace korrin
