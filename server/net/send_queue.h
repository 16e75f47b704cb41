// The lines waiting for the send step. In memory only, or over the spool's journal: then every
// line is appended to the journal as it joins, and memory holds a fixed window of the oldest
// lines, read back from the journal as the send step reaches them, whatever the spool holds.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "server/net/journal.h"
#include "server/net/line_queue.h"

namespace korrin {

class SendQueue {
  public:
    static constexpr size_t kWindowLines = 8192;
    static constexpr size_t kWindowBytes = 4u * 1024 * 1024;

    // Over this open journal (null: memory only). What the journal holds after its last sent
    // line is what is queued.
    void attach(Journal* journal);
    Journal* journal() const { return journal_; }

    // In memory only, inline: the read path calls these for every line.
    void push(std::string_view line) {
        if (journal_)
            pushToJournal(line);
        else
            window_.push_back(line);
    }
    bool empty() const { return lines() == 0; }
    // Waiting to be sent.
    uint64_t lines() const { return journal_ ? journalLines() : window_.size(); }
    // Of the lines waiting: in memory, their bytes; over a journal, the bytes it holds on disk.
    uint64_t bytes() const { return journal_ ? journal_->bytes() : window_.bytes(); }
    // The sequence of the front line (of the next line to come when none waits).
    uint64_t headSeq() const { return journal_ && !seqs_.empty() ? seqs_.front() : headSeq_; }
    // The front line; none when nothing waits, or when the journal cannot give it yet (not
    // written, or a read failed: its error() says why).
    std::optional<std::string_view> front();
    // The front line has been sent.
    void pop();
    // What memory holds, front first.
    const LineQueue& window() const { return window_; }

  private:
    void pushToJournal(std::string_view line);
    uint64_t journalLines() const;
    void refill();
    Journal* journal_ = nullptr;
    LineQueue window_;
    std::deque<uint64_t> seqs_;  // over a journal: each window line's sequence
    uint64_t headSeq_ = 1;       // in memory: the front line's sequence
    uint64_t windowEnd_ = 0;     // over a journal: the last sequence in or before the window
    Journal::Reader reader_;
};

}  // namespace korrin
