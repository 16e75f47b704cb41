#include "server/net/catch_up.h"

#include <algorithm>

#include "server/net/leading_number.h"

namespace korrin {

void LinesInFlight::handed(uint64_t seq, size_t bytes, size_t pending) {
    queued_ += bytes;
    const uint64_t taken = queued_ - std::min<uint64_t>(pending, queued_);
    while (!ends_.empty() && ends_.front().second <= taken) ends_.pop_front();
    if (queued_ > taken) ends_.emplace_back(seq, queued_);
}

std::optional<uint64_t> LinesInFlight::firstUnsent(size_t unsentAtClose) const {
    const uint64_t unsent = std::min<uint64_t>(unsentAtClose, queued_);
    for (const auto& [seq, end] : ends_)
        if (end > queued_ - unsent) return seq;
    return std::nullopt;
}

CatchUps::CatchUps(Listener& out, RelayLog& log, Clock& clock, RelayCounters& counters,
                   LineCounts& sentLines)
    : out_(out), log_(log), clock_(clock), counters_(counters), sentLines_(sentLines) {}

void CatchUps::readSettings(SettingsStore& settings) {
    const std::string replay = settings.get("ReplayLines", "0");
    const std::string resume = settings.get("ResumeSeconds", "0");
    const std::optional<double> lines = leadingNumber(replay);
    const std::optional<double> seconds = leadingNumber(resume);
    replayLines_ = lines ? static_cast<uint64_t>(std::min(*lines, 1e12)) : 0;
    resumeSeconds_ = seconds ? static_cast<int>(std::min(*seconds, 1e6)) : 0;
    if (!lines)
        log_.error(log_.numbers().badSetting,
                   "ReplayLines: \"" + replay + "\" is no number; it is 0");
    if (!seconds)
        log_.error(log_.numbers().badSetting,
                   "ResumeSeconds: \"" + resume + "\" is no number; it is 0");
}

uint64_t CatchUps::keepFrom(uint64_t lastSent) {
    uint64_t from = lastSent + 1;
    if (replayLines_ > 0) from -= std::min(replayLines_, lastSent);
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
    for (const LinesInFlight& f : inFlight_)
        if (f.oldest()) from = std::min(from, *f.oldest());
    return from;
}

void CatchUps::start(int id, const std::string& address) {
    inFlight_[id] = LinesInFlight();
    if (replayLines_ == 0 && resumeSeconds_ == 0) return;
    const std::string who = address + "-" + std::to_string(id);
    uint64_t from = lastSent() + 1;
    keepFrom(lastSent());  // forgets the places older than ResumeSeconds
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
            countLost("not_kept", from - taken->second, who,
                      "that another receiver from its address may have taken in its place");
        if (places_.count(address) == 0)
            placesTaken_.erase(address);
        else if (taken == placesTaken_.end())
            placesTaken_[address] = from;
    } else if (replayLines_ > 0) {
        from -= std::min(replayLines_, lastSent());
    }
    if (from < store_->firstKept()) {
        countLost("not_kept", store_->firstKept() - from, who);
        from = store_->firstKept();
    }
    if (from > lastSent()) return;
    CatchUp& c = catchUps_[id];
    c.next = from;
    c.who = who;
    c.reader = store_->reader(from);
    feed(id, c);
}

void CatchUps::leave(int id, const std::string& address) {
    if (resumeSeconds_ > 0 && !address.empty()) {
        auto it = catchUps_.find(id);
        uint64_t next = it != catchUps_.end() ? it->second.next : lastSent() + 1;
        // What was still queued for it when it closed never reached it: it comes back there.
        if (const auto unsent = inFlight_[id].firstUnsent(out_.unsentAtClose(id)))
            next = std::min(next, *unsent);
        if (places_.size() >= limits::kPlaces) {
            auto oldest = places_.begin();
            for (auto p = places_.begin(); p != places_.end(); ++p)
                if (p->second.left < oldest->second.left) oldest = p;
            places_.erase(oldest);
        }
        places_.emplace(address, Place{next, clock_.now()});
    }
    inFlight_[id] = LinesInFlight();
    catchUps_.erase(id);
}

void CatchUps::handed(int id, uint64_t seq, size_t bytes) {
    if (resumeSeconds_ > 0) inFlight_[id].handed(seq, bytes, out_.pendingBytes(id));
}

void CatchUps::countLost(const std::string& reason, uint64_t lines, const std::string& who,
                         const std::string& why) {
    counters_.linesLost[reason] += lines;
    log_.error(0, "Receiver " + who + " missed " + std::to_string(lines) + " lines " + why);
}

void CatchUps::feedAll() {
    for (auto it = catchUps_.begin(); it != catchUps_.end();) {
        const int id = it->first;
        CatchUp& c = it->second;
        ++it;  // feed may end this catch-up
        feed(id, c);
    }
}

bool CatchUps::feed(int id, CatchUp& c) {
    std::string line;
    while (c.next <= lastSent() && out_.pendingBytes(id) < limits::kCatchUpFeedBytes) {
        if (c.next < store_->firstKept()) {  // the store let them go meanwhile
            countLost("not_kept", store_->firstKept() - c.next, c.who);
            c.next = store_->firstKept();
            c.reader = store_->reader(c.next);
            if (c.next > lastSent()) break;
        }
        uint64_t seq = c.next;
        if (!c.reader->next(line, seq)) break;  // a read error: tried again next step
        if (seq > lastSent()) {  // past a gap, into what is not sent yet: it comes live
            c.next = seq;
            break;
        }
        // A gap inside the journal is damage, counted once when the spool was opened.
        if (seq > c.next)
            log_.error(0, "Receiver " + c.who + " missed " + std::to_string(seq - c.next) +
                              " lines damaged in the spool");
        line += '\n';
        if (!out_.send(id, line).ok()) {
            ++counters_.sendFailures;
            out_.closeConnection(id);
            catchUps_.erase(id);
            return false;
        }
        ++counters_.replayedLines;
        ++sentLines_[id];
        handed(id, seq, line.size());
        c.next = seq + 1;
    }
    if (c.next > lastSent()) catchUps_.erase(id);
    return true;
}

}  // namespace korrin
