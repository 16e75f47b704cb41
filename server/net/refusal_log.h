// The error log's lines for refused peers, bounded against floods from many addresses: one
// line per address and port a minute (an IPv6 peer counts per /64, the block one host owns),
// at most kMaxLines in any minute, then one line with the count of the rest.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/net/ip_address.h"
#include "server/net/log_throttle.h"

namespace korrin {

class RefusalLog {
  public:
    using TimePoint = LogThrottle::TimePoint;
    static constexpr int kMaxLines = 20;

    // The descriptions to log for this refusal: none, its own, and first the count of the
    // minute before when that is over.
    std::vector<std::string> refused(const IpAddress& peer, int32_t port, TimePoint now);
    // The count of a minute that is over with refusals left unlogged, or "".
    std::string summaryDue(TimePoint now);

  private:
    LogThrottle perPeer_;
    bool minuteOpen_ = false;
    TimePoint minuteStart_;
    int lines_ = 0;
    int unlogged_ = 0;
};

}  // namespace korrin
