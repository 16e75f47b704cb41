// The send queue's store: the lines' bytes back to back in one buffer and the start of each,
// so a queued 40-byte line costs about 44 bytes, not a string object and a heap block of its
// own. Lines leave at the front; the space they held is given back in batches.
#pragma once

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace korrin {

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

    size_t size() const { return starts_.size() - head_; }
    bool empty() const { return size() == 0; }
    // Bytes of the lines held.
    size_t bytes() const { return bytes_.size() - (empty() ? bytes_.size() : starts_[head_]); }
    std::string_view operator[](size_t i) const {
        const size_t at = head_ + i;
        const size_t end = at + 1 < starts_.size() ? starts_[at + 1] : bytes_.size();
        return std::string_view(bytes_).substr(starts_[at], end - starts_[at]);
    }
    std::string_view front() const { return (*this)[0]; }
    Iterator begin() const { return Iterator(*this, 0); }
    Iterator end() const { return Iterator(*this, size()); }

    void push_back(std::string_view line) {
        starts_.push_back(static_cast<uint32_t>(bytes_.size()));
        bytes_.append(line);
    }
    void pop_front() {
        ++head_;
        if (empty()) {
            starts_.clear();
            bytes_.clear();
            head_ = 0;
        } else if (head_ >= kCompactAfter && head_ * 2 >= starts_.size()) {
            compact();
        }
    }

private:
    // Moves what is held to the front once the lines gone are as many as those left: each
    // byte is moved at most once for every line that leaves, and offsets stay small.
    static constexpr size_t kCompactAfter = 4096;
    void compact() {
        const uint32_t cut = starts_[head_];
        bytes_.erase(0, cut);
        starts_.erase(starts_.begin(), starts_.begin() + static_cast<std::ptrdiff_t>(head_));
        for (uint32_t& s : starts_) s -= cut;
        head_ = 0;
        if (bytes_.capacity() > 4 * bytes_.size() + 4096) bytes_.shrink_to_fit();
        if (starts_.capacity() > 4 * starts_.size() + 1024) starts_.shrink_to_fit();
    }

    std::string bytes_;
    std::vector<uint32_t> starts_;  // in bytes_, one per line from head_ on
    size_t head_ = 0;
};

}  // namespace korrin
