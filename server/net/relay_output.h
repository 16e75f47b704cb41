// Where the send step's lines go. The TCP receivers are one output; any other kind of receiver
// is another, added beside them without touching the send step, the catch-up or the store.
#pragma once

#include <cstdint>
#include <string_view>

namespace korrin {

class RelayOutput {
  public:
    virtual ~RelayOutput() = default;
    // The line the send step sends now (without its LF), with its sequence.
    virtual void send(uint64_t seq, std::string_view line) = 0;
    // After each step, with a line or without: an output goes on with what it catches up on.
    virtual void stepDone() {}
    // The oldest line it may still want, lastSent being the newest sent: the store keeps every
    // line from the lowest answer of all outputs on. lastSent + 1: nothing sent.
    virtual uint64_t keepFrom(uint64_t lastSent) = 0;
    // The oldest line it is owed, which a full spool keeps too (reading pauses instead): an
    // outbox. lastSent + 1: none.
    virtual uint64_t mustKeepFrom(uint64_t lastSent) { return lastSent + 1; }
};

// Receivers of another kind than TCP, listed with the TCP ones (the window's List3, the status
// page) and closed from there.
class ReceiverKind {
  public:
    virtual ~ReceiverKind() = default;
    virtual const char* name() const = 0;  // as the status page and List3 show it
    virtual void close(int id) = 0;
    virtual uint64_t linesSent(int id) const = 0;
    virtual uint64_t bytesBehind(int id) const = 0;
};

}  // namespace korrin
