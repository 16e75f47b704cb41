#include "server/net/memory_line_store.h"

namespace korrin {

class MemoryLineStore::Reader final : public LineReader {
  public:
    Reader(const MemoryLineStore& store, uint64_t from) : store_(store), next_(from) {}
    bool next(std::string& line, uint64_t& seq) override {
        if (store_.sent_.empty()) return false;
        next_ = std::max(next_, store_.sentFirst_);  // what went is skipped
        if (next_ >= store_.headSeq_) return false;
        line.assign(store_.sent_[static_cast<size_t>(next_ - store_.sentFirst_)]);
        seq = next_++;
        return true;
    }

  private:
    const MemoryLineStore& store_;
    uint64_t next_;
};

void MemoryLineStore::pop(uint64_t keepFrom, uint64_t) {
    const uint64_t seq = headSeq_++;
    if (seq >= keepFrom) {
        if (sent_.empty()) sentFirst_ = seq;
        sent_.push_back(queue_.front());
    }
    queue_.pop_front();
    while (!sent_.empty() && (sentFirst_ < keepFrom || sent_.size() > limits::kKeptLines ||
                              sent_.bytes() > limits::kKeptBytes)) {
        sent_.pop_front();
        ++sentFirst_;
    }
}

std::unique_ptr<LineReader> MemoryLineStore::reader(uint64_t from) {
    return std::make_unique<Reader>(*this, from);
}

}  // namespace korrin
