// Keeps a flood of like events from growing the error log: one line per key and minute.
#pragma once

#include <chrono>
#include <map>
#include <string>

namespace korrin {

class LogThrottle {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    static constexpr std::chrono::minutes kPeriod{1};

    // True when a line for this key may be written now.
    bool allow(const std::string& key, TimePoint now) {
        auto it = last_.find(key);
        if (it != last_.end() && now - it->second < kPeriod) return false;
        if (it == last_.end() && last_.size() >= kMaxKeys) {
            forgetOlderThanAPeriod(now);
            // Still full: a new key gets its line without being remembered; whoever writes
            // the lines bounds their total (RefusalLog).
            if (last_.size() >= kMaxKeys) return true;
        }
        last_[key] = now;
        return true;
    }

  private:
    // Many distinct keys (addresses) must not grow the table without bound either.
    static constexpr size_t kMaxKeys = 4096;
    void forgetOlderThanAPeriod(TimePoint now) {
        for (auto it = last_.begin(); it != last_.end();)
            it = now - it->second >= kPeriod ? last_.erase(it) : std::next(it);
    }
    std::map<std::string, TimePoint> last_;
};

}  // namespace korrin
