// The send queue's store: the lines' bytes back to back in blocks (256 KiB unless the platform
// gives its own) and the start of each line, so a queued 40-byte line costs about 44 bytes, not
// a string object and a heap block of its own. Lines leave at the front; a block goes once its
// last line has left, so nothing is ever copied to grow the store.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

namespace korrin {

// Where the queue's blocks come from. Filling fresh memory costs a page fault per page, which is
// most of the cost of reading into an empty queue: a platform may give blocks that fill cheaper.
struct BlockMemory {
    size_t blockBytes = 256 * 1024;
    char* (*take)(size_t bytes) = [](size_t bytes) { return new char[bytes]; };
    void (*give)(char* block) = [](char* block) { delete[] block; };
};

class LineQueue {
  public:
    class Iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = std::string_view;
        Iterator(const LineQueue& q, size_t i) : q_(&q), i_(i) {}
        std::string_view operator*() const { return (*q_)[i_]; }
        Iterator& operator++() {
            ++i_;
            return *this;
        }
        bool operator==(const Iterator& o) const { return i_ == o.i_; }
        bool operator!=(const Iterator& o) const { return i_ != o.i_; }

      private:
        const LineQueue* q_;
        size_t i_;
    };

    // Set once at the start, before any queue holds a line.
    static void useMemory(const BlockMemory& memory) { memory_ = memory; }

    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    size_t bytes() const { return bytes_; }  // of the lines held
    std::string_view operator[](size_t i) const {
        const uint64_t line = headLine_ + i;
        // The block that holds the line: the last one that begins at or before it.
        auto block = std::upper_bound(blocks_.begin(), blocks_.end(), line,
                                      [](uint64_t n, const Block& b) { return n < b.firstLine; });
        --block;
        const auto next = std::next(block);
        const bool lastInBlock =
            i + 1 == starts_.size() || (next != blocks_.end() && next->firstLine == line + 1);
        const size_t end = lastInBlock ? block->size : starts_[i + 1];
        return std::string_view(block->bytes.get() + starts_[i], end - starts_[i]);
    }
    std::string_view front() const { return (*this)[0]; }
    Iterator begin() const { return Iterator(*this, 0); }
    Iterator end() const { return Iterator(*this, size()); }

    void push_back(std::string_view line) {
        if (blocks_.empty() || blocks_.back().size + line.size() > blocks_.back().capacity) {
            const size_t capacity = std::max(memory_.blockBytes, line.size());
            // Not value-initialised: a block's bytes are only ever read once written.
            blocks_.push_back({BlockBytes(memory_.take(capacity), memory_.give), 0, capacity,
                               headLine_ + starts_.size()});
        }
        Block& b = blocks_.back();
        starts_.push_back(static_cast<uint32_t>(b.size));
        ++count_;
        if (!line.empty()) memcpy(b.bytes.get() + b.size, line.data(), line.size());
        b.size += line.size();
        bytes_ += line.size();
    }
    void pop_front() {
        bytes_ -= front().size();
        starts_.pop_front();
        --count_;
        ++headLine_;
        if (starts_.empty()) {
            blocks_.clear();
        } else if (blocks_.size() > 1 && blocks_[1].firstLine <= headLine_) {
            blocks_.pop_front();
        }
    }

  private:
    using BlockBytes = std::unique_ptr<char, void (*)(char*)>;  // given back where it came from
    struct Block {
        BlockBytes bytes;  // never grows past its first capacity
        size_t size = 0, capacity = 0;
        uint64_t firstLine = 0;  // the number of its first line, counted since the start
    };
    static inline BlockMemory memory_;
    std::deque<Block> blocks_;
    std::deque<uint32_t> starts_;  // each held line's offset in its block, front line first
    size_t count_ = 0;             // starts_.size(), which a deque counts the long way
    uint64_t headLine_ = 0;        // the number of the front line
    size_t bytes_ = 0;
};

}  // namespace korrin
