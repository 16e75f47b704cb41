// Receivers that get sent lines again: the most recent ones for a new receiver
// ("ReplayLines"), or those sent since it left for one that comes back ("ResumeSeconds").
#include <algorithm>

#include "server/net/leading_number.h"
#include "server/net/relay.h"

namespace korrin {
namespace {
// Sent lines kept in memory without a spool, and what a catch-up may have queued at once
// (well below a connection's cap, so that a receiver that missed much is not dropped for it).
constexpr size_t kSentLines = 100000;
constexpr size_t kSentBytes = 64u * 1024 * 1024;
constexpr size_t kFeedBytes = 1024 * 1024;
constexpr size_t kPlaces = 1000;
}  // namespace

void Relay::readCatchUpSettings() {
    const std::string replay = settings_.get("ReplayLines", "0");
    const std::string resume = settings_.get("ResumeSeconds", "0");
    const std::optional<double> lines = leadingNumber(replay);
    const std::optional<double> seconds = leadingNumber(resume);
    replayLines_ = lines ? static_cast<uint64_t>(std::min(*lines, 1e12)) : 0;
    resumeSeconds_ = seconds ? static_cast<int>(std::min(*seconds, 1e6)) : 0;
    if (!lines)
        logError(log_.numbers().badSetting,
                 "ReplayLines: \"" + replay + "\" is no number; it is 0");
    if (!seconds)
        logError(log_.numbers().badSetting,
                 "ResumeSeconds: \"" + resume + "\" is no number; it is 0");
}

uint64_t Relay::firstKept() const {
    return journal_ ? journal_->firstSeq() : sentLinesFirst_;
}

uint64_t Relay::keepFrom() {
    uint64_t from = lastSent() + 1;
    if (replayLines_ > 0) from -= std::min(replayLines_, lastSent());
    const Clock::TimePoint now = clock_.now();
    for (auto it = places_.begin(); it != places_.end();) {
        if (now - it->second.left > std::chrono::seconds(resumeSeconds_)) {
            it = places_.erase(it);
        } else {
            from = std::min(from, it->second.next);
            ++it;
        }
    }
    for (const auto& [id, c] : catchUps_) from = std::min(from, c.next);
    for (const InFlight& f : inFlight_)
        if (!f.ends.empty()) from = std::min(from, f.ends.front().first);
    return from;
}

void Relay::keepSent(std::string_view line) {
    if (journal_ || (replayLines_ == 0 && resumeSeconds_ == 0)) return;
    if (sentLines_.empty()) sentLinesFirst_ = lastSent() + 1;
    sentLines_.push_back(line.substr(0, line.size() - 1));  // without its LF
    while (sentLines_.size() > kSentLines || sentLines_.bytes() > kSentBytes) {
        sentLines_.pop_front();
        ++sentLinesFirst_;
    }
}

void Relay::startCatchUp(int id) {
    if (replayLines_ == 0 && resumeSeconds_ == 0) return;
    const std::string& address = receiverHosts_[id];
    uint64_t from = lastSent() + 1;
    keepFrom();  // forgets the places older than ResumeSeconds
    // Two receivers from one address each take up a place; the oldest goes first.
    auto oldest = places_.end();
    for (auto [it, end] = places_.equal_range(address); it != end; ++it)
        if (oldest == places_.end() || it->second.next < oldest->second.next) oldest = it;
    if (oldest != places_.end()) {
        from = oldest->second.next;
        places_.erase(oldest);
        ++counters_.resumedReceivers;
        // Receivers behind one address cannot be told apart: this one may be the one that left
        // at the older place the first of them took back.
        auto taken = placesTaken_.find(address);
        if (taken != placesTaken_.end() && taken->second < from)
            countLost("not_kept", from - taken->second, address + "-" + std::to_string(id),
                      "that another receiver from its address may have taken in its place");
        if (places_.count(address) == 0)
            placesTaken_.erase(address);
        else if (taken == placesTaken_.end())
            placesTaken_[address] = from;
    } else if (replayLines_ > 0) {
        from -= std::min(replayLines_, lastSent());
    }
    if (from < firstKept()) {
        countLost("not_kept", firstKept() - from, address + "-" + std::to_string(id));
        from = firstKept();
    }
    if (from > lastSent()) return;
    CatchUp& c = catchUps_[id];
    c.next = from;
    if (journal_) c.reader = journal_->reader(from);
    feed(id, c);
}

void Relay::leaveCatchUp(int id) {
    InFlight& f = inFlight_[id];
    if (resumeSeconds_ > 0 && !receiverHosts_[id].empty()) {
        auto it = catchUps_.find(id);
        uint64_t next = it != catchUps_.end() ? it->second.next : lastSent() + 1;
        // What was still queued for it when it closed never reached it: it comes back there.
        const uint64_t unsent = std::min<uint64_t>(out_.unsentAtClose(id), f.queued);
        for (const auto& [seq, end] : f.ends) {
            if (end > f.queued - unsent) {
                next = std::min(next, seq);
                break;
            }
        }
        if (places_.size() >= kPlaces) {
            auto oldest = places_.begin();
            for (auto p = places_.begin(); p != places_.end(); ++p)
                if (p->second.left < oldest->second.left) oldest = p;
            places_.erase(oldest);
        }
        places_.emplace(receiverHosts_[id], Place{next, clock_.now()});
    }
    f = InFlight();
    catchUps_.erase(id);
}

void Relay::handed(int id, uint64_t seq, size_t bytes) {
    if (resumeSeconds_ == 0) return;
    InFlight& f = inFlight_[id];
    f.queued += bytes;
    const uint64_t taken = f.queued - std::min<uint64_t>(out_.pendingBytes(id), f.queued);
    while (!f.ends.empty() && f.ends.front().second <= taken) f.ends.pop_front();
    if (f.queued > taken) f.ends.emplace_back(seq, f.queued);
}

void Relay::countLost(const std::string& reason, uint64_t lines, const std::string& who,
                      const std::string& why) {
    counters_.linesLost[reason] += lines;
    logError(0, "Receiver " + who + " missed " + std::to_string(lines) + " lines " + why);
}

void Relay::feedCatchUps() {
    for (auto it = catchUps_.begin(); it != catchUps_.end();) {
        const int id = it->first;
        CatchUp& c = it->second;
        ++it;  // feed may end this catch-up
        feed(id, c);
    }
}

bool Relay::feed(int id, CatchUp& c) {
    std::string line;
    while (c.next <= lastSent() && out_.pendingBytes(id) < kFeedBytes) {
        uint64_t seq = c.next;
        if (journal_) {
            if (!c.reader.next(line, seq)) break;  // a read error: tried again next step
        } else {
            if (c.next < sentLinesFirst_) {
                countLost("not_kept", sentLinesFirst_ - c.next,
                          receiverHosts_[id] + "-" + std::to_string(id));
                c.next = seq = sentLinesFirst_;
                if (c.next > lastSent()) break;
            }
            line.assign(sentLines_[static_cast<size_t>(c.next - sentLinesFirst_)]);
        }
        if (seq > lastSent()) {  // past a gap, into what is not sent yet: it comes live
            c.next = seq;
            break;
        }
        // A gap inside the journal is damage, counted once when the spool was opened.
        if (seq > c.next)
            logError(0, "Receiver " + receiverHosts_[id] + "-" + std::to_string(id) + " missed " +
                            std::to_string(seq - c.next) + " lines damaged in the spool");
        line += '\n';
        if (!out_.send(id, line).ok()) {
            ++counters_.sendFailures;
            out_.closeConnection(id);
            catchUps_.erase(id);
            return false;
        }
        ++counters_.replayedLines;
        ++receiverLines_[id];
        handed(id, seq, line.size());
        c.next = seq + 1;
    }
    if (c.next > lastSent()) catchUps_.erase(id);
    return true;
}

}  // namespace korrin
