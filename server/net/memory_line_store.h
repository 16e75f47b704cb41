// The lines in memory only: the queue up to its marks, and the sent lines outputs still want,
// up to limits::kKeptLines and kKeptBytes.
#pragma once

#include "server/net/line_store.h"
#include "server/net/limits.h"

namespace korrin {

class MemoryLineStore final : public LineStore {
  public:
    // The first line takes this sequence.
    explicit MemoryLineStore(uint64_t firstSeq = 1) : headSeq_(firstSeq), sentFirst_(firstSeq) {}
    bool push(std::string_view line) override {
        queue_.push_back(line);
        return full();
    }
    std::optional<std::string_view> front() override {
        return queue_.empty() ? std::nullopt : std::optional(queue_.front());
    }
    // Bounded as it is: lines past the bound go even when owed.
    void pop(uint64_t keepFrom, uint64_t mustKeepFrom = UINT64_MAX) override;
    uint64_t lines() const override { return queue_.size(); }
    uint64_t bytes() const override { return queue_.bytes(); }
    uint64_t headSeq() const override { return headSeq_; }
    bool full() const override {
        return queue_.size() >= limits::kQueueHighLines ||
               queue_.bytes() >= limits::kQueueHighBytes;
    }
    bool low() const override {
        return queue_.size() <= limits::kQueueHighLines / 2 &&
               queue_.bytes() <= limits::kQueueHighBytes / 2;
    }
    uint64_t firstKept() const override { return sent_.empty() ? headSeq_ : sentFirst_; }
    std::unique_ptr<LineReader> reader(uint64_t from) override;
    const LineQueue& window() const override { return queue_; }

  private:
    class Reader;
    LineQueue queue_;
    uint64_t headSeq_;
    LineQueue sent_;  // sent lines from sentFirst_ on
    uint64_t sentFirst_;
};

}  // namespace korrin
