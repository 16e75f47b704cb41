#include "server/net/refusal_log.h"

#include <algorithm>

namespace korrin {

namespace {
// The key of a peer: the address, for IPv6 only its /64.
std::string peerKey(const IpAddress& peer, int32_t port) {
    IpAddress key = peer;
    if (key.v6) std::fill(key.bytes.begin() + 8, key.bytes.end(), uint8_t{0});
    return key.text() + " " + std::to_string(port);
}
}  // namespace

std::string RefusalLog::summaryDue(TimePoint now) {
    if (!minuteOpen_ || now - minuteStart_ < LogThrottle::kPeriod) return {};
    std::string line;
    if (unlogged_ > 0)
        line = std::to_string(unlogged_) + " more connections refused in the last minute";
    minuteOpen_ = false;
    lines_ = unlogged_ = 0;
    return line;
}

std::vector<std::string> RefusalLog::refused(const IpAddress& peer, int32_t port, TimePoint now) {
    std::vector<std::string> out;
    std::string summary = summaryDue(now);
    if (!summary.empty()) out.push_back(std::move(summary));
    if (!minuteOpen_) {
        minuteOpen_ = true;
        minuteStart_ = now;
    }
    if (lines_ >= kMaxLines) {
        ++unlogged_;
        return out;
    }
    if (perPeer_.allow(peerKey(peer, port), now)) {
        ++lines_;
        out.push_back("Connection from " + peer.text() + " to port " + std::to_string(port) +
                      " refused");
    }
    return out;
}

}  // namespace korrin
