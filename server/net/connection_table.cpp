// The connection table. Events are re-checked against the table after every handler called: a
// handler may close the connection it was called for.
#include "server/net/connection_table.h"

#include <algorithm>
#include <chrono>

#include "server/net/socket_address.h"

namespace korrin {

namespace {

constexpr size_t kWriteChunk = 256 * 1024;

// The lowest id that no entry of a map ordered by id holds.
template <class Map>
int lowestFreeId(const Map& byId) {
    int id = 0;
    for (const auto& entry : byId) {
        if (entry.first != id) break;
        ++id;
    }
    return id;
}

}  // namespace

// Hands the lines of a read on together: one event for many short lines, not one each.
class ConnectionTable::FramerSink : public LineFramer::Sink {
  public:
    FramerSink(ConnectionTable& table, int id) : table_(table), id_(id) {}
    void line(std::string_view text) override { table_.lineRun_.push_back(text); }
    void overlong() override {
        cutDone();  // the lines before it come first
        table_.events_.error(
            table_.errors_.lineTooLong,
            "Line longer than " + std::to_string(limits::kMaxLine) + " bytes dropped");
    }
    void cutDone() override {
        if (table_.lineRun_.empty()) return;
        // Taken out first: a handler may close a connection, which cuts its last lines too.
        std::vector<std::string_view> run;
        run.swap(table_.lineRun_);
        table_.events_.linesIn(id_, run);
        run.clear();
        if (table_.lineRun_.empty()) run.swap(table_.lineRun_);  // its room serves the next read
    }

  private:
    ConnectionTable& table_;
    int id_;
};

ConnectionTable::ConnectionTable(ListenerEvents& events, int maxConnections,
                                 const SocketErrors& errors)
    : events_(events), maxConnections_(maxConnections), errors_(errors) {}

// ---- operations ----

OpResult ConnectionTable::setListening(bool on) {
    if (!on) {
        closeListenSockets();
        notBound_.clear();
        listening_ = false;
        return {};
    }
    if (listening_) return {};
    if (port_ < 1 || port_ > 65535) return fail(errors_.addressNotAvailable);
    acceptWaiting_ = false;
    if (addresses_.empty()) {
        // Every interface: IPv4 must work; IPv6 joins where the machine has it.
        if (const int error = listenOn(IpAddress{}, port_)) return fail(error);
        IpAddress any6;
        any6.v6 = true;
        listenOn(any6, port_);
    } else {
        // An address this computer lacks is no reason to keep the port closed on the others
        // (a Bind of 127.0.0.1 and ::1 on a host without IPv6); any other failure is.
        for (const IpAddress& a : addresses_) {
            const int error = listenOn(a, port_);
            if (error != 0 && addressMissing(error)) {
                notBound_.push_back({a, fail(error)});
            } else if (error != 0) {
                closeListenSockets();
                notBound_.clear();
                return fail(error);
            }
        }
        if (notBound_.size() == addresses_.size()) {
            const OpResult first = notBound_.front().why;
            notBound_.clear();
            return first;
        }
    }
    listening_ = true;
    return {};
}

OpResult ConnectionTable::setLocalPort(int32_t port) {
    port_ = port;
    return {};
}

OpResult ConnectionTable::setLocalAddresses(const std::vector<IpAddress>& addresses) {
    addresses_ = addresses;
    return {};
}

OpResult ConnectionTable::setLineDelimiter(int id, std::string_view delimiter) {
    Connection* c = find(id);
    if (!c) return fail(errors_.noSuchConnection);
    c->framer.setDelimiter(delimiter);
    return {};
}

OpResult ConnectionTable::setReceiving(int id, bool on) {
    Connection* c = find(id);
    if (!c) return fail(errors_.noSuchConnection);
    c->receiving = on;
    interestChanged(*c);
    return {};
}

std::string ConnectionTable::remoteAddress(int id) {
    const Connection* c = find(id);
    return c ? c->remote : std::string();
}

std::string ConnectionTable::localAddressOf(int id) {
    const Connection* c = find(id);
    return c ? c->local : std::string();
}

bool ConnectionTable::isOpen(int id) {
    const Connection* c = find(id);
    return c && !c->lingering;
}

OpResult ConnectionTable::closeConnection(int id) {
    Connection* c = find(id);
    if (!c) return fail(errors_.noSuchConnection);
    // A socket closed with unread data resets the connection, and the peer's lines there were
    // acknowledged: they are read first, as when the peer closes. Only what is there now, so
    // that a peer still sending cannot hold the close up.
    const bool lines = c->receiving && !c->framer.delimiter().empty();
    const std::string waiting = lines ? takeWaiting(*c) : std::string();
    beginClose(*c);
    if (waiting.empty()) return {};
    // Closing already: whatever the handlers do, the record stays until its closed event.
    FramerSink sink(*this, id);
    c->framer.feed(waiting, sink);
    deliverRest(*c);
    return {};
}

OpResult ConnectionTable::send(int id, std::string_view bytes) {
    Connection* c = find(id);
    if (!c) return fail(errors_.notConnected);
    const bool wasIdle = c->out.pending() == 0;
    if (!c->out.append(bytes))
        return OpResult{errors_.noBufferSpace, "Receiver too slow: more than " +
                                                   std::to_string(limits::kSendCap >> 20) +
                                                   " MiB unsent"};
    if (!wasIdle) return {};  // the writable events go on with it
    const int err = flush(*c);
    interestChanged(*c);
    if (err == 0) return {};
    // A peer that left in an orderly way, its close not yet seen, has not failed: it goes the
    // way of any peer that closes.
    if (peerLeft(*c, err)) {
        peerClosed(*c, 0);
        return {};
    }
    return fail(err);
}

size_t ConnectionTable::pendingBytes(int id) {
    const Connection* c = find(id);
    return c ? c->out.pending() : 0;
}

OpResult ConnectionTable::closeWhenSent(int id) {
    Connection* c = find(id);
    if (!c) return fail(errors_.noSuchConnection);
    if (c->out.pending() == 0)
        allSent(*c);
    else
        c->closeWhenSent = true;  // writable() finishes it
    return {};
}

// ---- for the listener ----

Connection* ConnectionTable::find(int id) {
    auto it = conns_.find(id);
    if (it == conns_.end() || it->second->closing) return nullptr;
    return it->second.get();
}

Connection* ConnectionTable::find(int id, uint64_t serial) {
    Connection* c = find(id);
    return c && c->serial == serial ? c : nullptr;
}

void ConnectionTable::forEachOpen(const std::function<void(Connection&)>& visit) {
    for (auto& [id, c] : conns_)
        if (!c->closing) visit(*c);
}

int ConnectionTable::openCount() const {
    return static_cast<int>(std::count_if(conns_.begin(), conns_.end(),
                                          [](const auto& e) { return !e.second->closing; }));
}

bool ConnectionTable::idFree() {
    if (openCount() >= maxConnections_ || static_cast<int>(conns_.size()) < maxConnections_)
        return true;
    acceptWaiting_ = true;  // deliverClosed() wakes it
    return false;
}

bool ConnectionTable::turnAway(const IpAddress& peer) {
    const int open = openCount();
    if (!events_.connectionRequest(peer)) return true;
    if (open < maxConnections_) return false;
    if (turnedAwayLog_.allow("bound", std::chrono::steady_clock::now()))
        events_.error(errors_.tooManyConnections,
                      "Too many connections (" + std::to_string(maxConnections_) +
                          "): a connection from " + peer.text() + " was refused");
    return true;
}

Connection& ConnectionTable::add(std::unique_ptr<Connection> c, const IpAddress& peer,
                                 std::string local) {
    c->id = lowestFreeId(conns_);
    c->serial = nextSerial_++;
    c->remote = peer.text();
    c->local = std::move(local);
    Connection& added = *c;
    conns_[added.id] = std::move(c);
    return added;
}

void ConnectionTable::opened(const Connection& c) {
    events_.connectionOpened(c.id);
}

void ConnectionTable::discard(int id) {
    conns_.erase(id);
}

void ConnectionTable::received(Connection& c, std::string_view bytes) {
    if (!c.receiving) return;  // read only to notice the peer's close
    if (c.framer.delimiter().empty()) {
        events_.dataIn(c.id, bytes, false);
        return;
    }
    const int id = c.id;
    FramerSink sink(*this, id);
    c.framer.feed(bytes, sink);
    events_.readDone(id);
}

void ConnectionTable::writable(Connection& c) {
    const int err = flush(c);
    if (err != 0)
        peerClosed(c, peerLeft(c, err) ? 0 : err);
    else if (c.closeWhenSent && c.out.pending() == 0)
        allSent(c);
    else
        interestChanged(c);
}

int ConnectionTable::flush(Connection& c) {
    while (c.out.pending() > 0) {
        size_t written = 0;
        const std::string_view chunk(c.out.data(), std::min(c.out.pending(), kWriteChunk));
        if (const int err = write(c, chunk, &written)) return err;
        if (written == 0) return 0;  // the writable events tell when to go on
        c.out.consumed(written);
    }
    return 0;
}

void ConnectionTable::peerClosed(Connection& c, int error) {
    const int id = c.id;
    const uint64_t serial = c.serial;
    if (error != 0) events_.error(error, errors_.text(error));
    Connection* live = find(id, serial);
    if (!live) return;
    if (live->receiving && !live->framer.delimiter().empty()) {
        deliverRest(*live);
        if ((live = find(id, serial)) == nullptr) return;
    }
    beginClose(*live);
}

void ConnectionTable::deliverRest(Connection& c) {
    const std::string rest = c.framer.takeRest();
    if (!rest.empty()) events_.dataIn(c.id, rest, false);
}

void ConnectionTable::beginClose(Connection& c) {
    c.closing = true;
    c.unsentAtClose = c.out.pending();
    c.out.clear();
    closeSocket(c);
}

void ConnectionTable::deliverClosed(int id) {
    auto it = conns_.find(id);
    if (it == conns_.end() || !it->second->closing) return;
    released(*it->second);
    closedUnsent_ = {id, it->second->unsentAtClose};
    conns_.erase(it);
    if (acceptWaiting_) {
        acceptWaiting_ = false;
        acceptAgain();
    }
    events_.connectionClosed(id);
    closedUnsent_ = {-1, 0};
}

size_t ConnectionTable::unsentAtClose(int id) {
    return closedUnsent_.first == id ? closedUnsent_.second : 0;
}

}  // namespace korrin
