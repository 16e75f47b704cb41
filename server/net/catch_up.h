// Receivers that get sent lines again: the most recent ones for a new receiver
// ("ReplayLines"), or those sent since it left for one that comes back ("ResumeSeconds").
// Each is fed from its place on as it takes the lines, and goes live once it has them all.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "server/net/limits.h"
#include "server/net/line_store.h"
#include "server/net/listener.h"
#include "server/net/relay_log.h"
#include "server/net/relay_status.h"

namespace korrin {

// The lines queued to one receiver that the network may not have taken whole yet: a receiver
// that leaves comes back to the first of them.
class LinesInFlight {
  public:
    // A line of the sequence, `bytes` long, was queued; `pending`: the bytes the connection
    // holds unsent now.
    void handed(uint64_t seq, size_t bytes, size_t pending);
    // The oldest line the network may not have taken.
    std::optional<uint64_t> oldest() const {
        return ends_.empty() ? std::nullopt : std::optional(ends_.front().first);
    }
    // At the close, with unsentAtClose bytes left: the first line it did not get whole.
    std::optional<uint64_t> firstUnsent(size_t unsentAtClose) const;

  private:
    uint64_t queued_ = 0;                             // bytes queued in all
    std::deque<std::pair<uint64_t, uint64_t>> ends_;  // sequence, queued once it was
};

class CatchUps {
  public:
    using LineCounts = std::array<uint64_t, limits::kReceivers>;
    // out: the receivers' listener; sentLines: the lines sent to each receiver, by id.
    CatchUps(Listener& out, RelayLog& log, Clock& clock, RelayCounters& counters,
             LineCounts& sentLines);

    // "ReplayLines", "ResumeSeconds", read at load.
    void readSettings(SettingsStore& settings);
    uint64_t replayLines() const { return replayLines_; }
    int resumeSeconds() const { return resumeSeconds_; }
    // Where the sent lines are read from.
    void useStore(LineStore& store) { store_ = &store; }

    // A receiver connected from this address: it gets what it missed, or the last lines.
    void start(int id, const std::string& address);
    // It left; with ResumeSeconds its place is kept for its return.
    void leave(int id, const std::string& address);
    bool catchingUp(int id) const { return catchUps_.count(id) > 0; }
    // A line of the sequence is queued for the receiver: until the network takes it whole, a
    // receiver that leaves comes back to it.
    void handed(int id, uint64_t seq, size_t bytes);
    // Gives each receiver catching up what it can take now.
    void feedAll();
    // The oldest sent line a receiver may still get: kept places, catch-ups, lines in flight
    // and ReplayLines. Forgets the places older than ResumeSeconds.
    uint64_t keepFrom(uint64_t lastSent);

  private:
    struct CatchUp {
        uint64_t next = 0;  // the sequence it gets next
        std::string who;    // address-id, as the log names it
        std::unique_ptr<LineReader> reader;
    };
    struct Place {
        uint64_t next;
        Clock::TimePoint left;
    };
    uint64_t lastSent() const { return store_->lastSent(); }
    // False when the receiver was dropped.
    bool feed(int id, CatchUp& c);
    void countLost(const std::string& reason, uint64_t lines, const std::string& who,
                   const std::string& why = "that are no longer kept");

    Listener& out_;
    RelayLog& log_;
    Clock& clock_;
    RelayCounters& counters_;
    LineCounts& sentLines_;
    LineStore* store_ = nullptr;
    uint64_t replayLines_ = 0;
    int resumeSeconds_ = 0;
    std::map<int, CatchUp> catchUps_;
    std::multimap<std::string, Place> places_;  // by the address the receiver came from
    // By address, while places of it are left: the oldest place a returning receiver took.
    std::map<std::string, uint64_t> placesTaken_;
    std::array<LinesInFlight, limits::kReceivers> inFlight_;
};

}  // namespace korrin
