// The lines over the spool's journal: every line is appended to the journal as it joins, and
// memory holds a fixed window of the oldest waiting lines, read back from the journal as the
// send step reaches them, whatever the spool holds.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "server/net/journal.h"
#include "server/net/line_store.h"

namespace korrin {

class JournalLineStore final : public LineStore {
  public:
    static constexpr size_t kWindowLines = 8192;
    static constexpr size_t kWindowBytes = 4u * 1024 * 1024;
    // Appended lines not yet handed to the system at which the store writes them out.
    static constexpr uint64_t kWriteOutLines = 4096;

    // Over this open journal: what it holds after its last sent line is what waits. Full at
    // limitBytes on disk; writeOut runs the spool's write of the lines appended.
    JournalLineStore(Journal& journal, uint64_t limitBytes, std::function<void()> writeOut);
    ~JournalLineStore() override;
    JournalLineStore(const JournalLineStore&) = delete;
    JournalLineStore& operator=(const JournalLineStore&) = delete;

    bool push(std::string_view line) override;
    std::optional<std::string_view> front() override;
    void pop(uint64_t keepFrom, uint64_t mustKeepFrom = UINT64_MAX) override;
    void release(uint64_t keepFrom, uint64_t mustKeepFrom) override;
    uint64_t lines() const override;
    uint64_t bytes() const override { return journal_.bytes(); }
    uint64_t headSeq() const override { return seqs_.empty() ? headSeq_ : seqs_.front(); }
    bool full() const override { return writeFailing_ || bytes() >= limitBytes_; }
    bool low() const override { return !full(); }
    uint64_t firstKept() const override { return journal_.firstSeq(); }
    std::unique_ptr<LineReader> reader(uint64_t from) override;
    const LineQueue& window() const override { return window_; }
    std::optional<uint64_t> ackedSeq() const override { return journal_.ackedSeq(); }
    void markAcked(uint64_t seq) override { journal_.markAcked(seq); }

    // While writes fail the store counts as full: nothing is read that could be lost.
    void setWriteFailing(bool failing) { writeFailing_ = failing; }

  private:
    void refill();
    void releaseSent(uint64_t keepFrom, uint64_t mustKeepFrom, bool atLimit);
    Journal& journal_;
    const uint64_t limitBytes_;
    std::function<void()> writeOut_;
    bool writeFailing_ = false;
    LineQueue window_;
    std::deque<uint64_t> seqs_;  // each window line's sequence
    uint64_t headSeq_ = 1;       // the next line's sequence while the window is empty
    uint64_t windowEnd_ = 0;     // the last sequence in or before the window
    Journal::Reader reader_;
};

}  // namespace korrin
