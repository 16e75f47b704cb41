// Keeps a flood of like events from growing the error log: one line per key and minute.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace korrin {

class LogThrottle {
  public:
    static constexpr uint64_t kPeriodMs = 60 * 1000;

    // True when a line for this key may be written now (nowMs: any monotonic clock).
    bool allow(const std::string& key, uint64_t nowMs) {
        auto it = last_.find(key);
        if (it != last_.end() && nowMs - it->second < kPeriodMs) return false;
        if (last_.size() >= kMaxKeys) forgetOlderThanAPeriod(nowMs);
        last_[key] = nowMs;
        return true;
    }

  private:
    // Many distinct keys (addresses) must not grow the table without bound either.
    static constexpr size_t kMaxKeys = 4096;
    void forgetOlderThanAPeriod(uint64_t nowMs) {
        for (auto it = last_.begin(); it != last_.end();)
            it = nowMs - it->second >= kPeriodMs ? last_.erase(it) : std::next(it);
        if (last_.size() >= kMaxKeys) last_.clear();
    }
    std::map<std::string, uint64_t> last_;
};

}  // namespace korrin
