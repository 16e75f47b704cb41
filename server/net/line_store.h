// Where the relay keeps its lines: those waiting for the send step, and the sent ones that an
// output may still want (a receiver catching up). In memory, or in the spool's journal.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "server/net/line_queue.h"

namespace korrin {

// Reads kept lines in order from a sequence on.
class LineReader {
  public:
    virtual ~LineReader() = default;
    // The next line and its sequence, which is above the one before by more than one where
    // lines are missing; false when no line follows (yet) or a read failed.
    virtual bool next(std::string& line, uint64_t& seq) = 0;
};

class LineStore {
  public:
    virtual ~LineStore() = default;
    // Takes a line as the next sequence; true once the store is past its high mark.
    virtual bool push(std::string_view line) = 0;
    // The line the send step takes next; none when nothing waits, or when it cannot be had
    // yet (not written, or a read failed).
    virtual std::optional<std::string_view> front() = 0;
    // The front line was sent. Sent lines before keepFrom are no longer wanted by any output;
    // those from mustKeepFrom on are owed to one (the broker) and kept even at a full spool.
    virtual void pop(uint64_t keepFrom, uint64_t mustKeepFrom = UINT64_MAX) = 0;
    // The same for the sent lines alone, between sends: an output let go of some.
    virtual void release(uint64_t /*keepFrom*/, uint64_t /*mustKeepFrom*/) {}
    // Waiting to be sent: lines, and bytes (in memory, or on disk for the journal).
    virtual uint64_t lines() const = 0;
    virtual uint64_t bytes() const = 0;
    // The sequence of the front line (of the next to come when none waits).
    virtual uint64_t headSeq() const = 0;
    // Reading from senders pauses once full() and resumes once low().
    virtual bool full() const = 0;
    virtual bool low() const = 0;
    // The oldest sent line still kept (headSeq() when none is).
    virtual uint64_t firstKept() const = 0;
    virtual std::unique_ptr<LineReader> reader(uint64_t from) = 0;
    // What memory holds of the waiting lines, front first: all, or the journal's window.
    virtual const LineQueue& window() const = 0;
    // The place of the last line the broker acknowledged, kept across restarts by a spool.
    virtual std::optional<uint64_t> ackedSeq() const { return std::nullopt; }
    virtual void markAcked(uint64_t) {}

    uint64_t lastSent() const { return headSeq() - 1; }
};

}  // namespace korrin
