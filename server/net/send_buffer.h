// A connection's unsent bytes, kept the same way by both listeners.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "server/net/limits.h"

namespace korrin {

// A connection's unsent bytes: appended at the back, taken by the network from the front.
class SendBuffer {
  public:
    static constexpr size_t kCap = limits::kSendCap;

    size_t pending() const { return bytes_.size() - sent_; }
    const char* data() const { return bytes_.data() + sent_; }
    // False, and nothing queued, when the bytes would pass the cap.
    bool append(std::string_view bytes) {
        if (pending() + bytes.size() > kCap) return false;
        // Sent bytes are dropped once they are half the buffer: each byte moves at most once.
        if (sent_ > 0 && sent_ >= bytes_.size() / 2) {
            bytes_.erase(0, sent_);
            sent_ = 0;
        }
        bytes_.append(bytes.data(), bytes.size());
        return true;
    }
    void consumed(size_t n) {
        sent_ += n;
        if (sent_ == bytes_.size()) clear();
    }
    void clear() {
        bytes_.clear();
        sent_ = 0;
    }

  private:
    std::string bytes_;
    size_t sent_ = 0;
};

}  // namespace korrin
