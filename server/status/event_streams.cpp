#include "server/status/event_streams.h"

#include <algorithm>

namespace korrin {

void EventStreams::Trail::handed(uint64_t seq, size_t bytes) {
    if (marks_.empty() || queued_ - marks_.back().second >= kMarkBytes)
        marks_.emplace_back(seq, queued_);
    queued_ += bytes;
    // A stretch goes once the whole of it lies further back than kUnreadBytes.
    while (marks_.size() > 1 && marks_[1].second + kUnreadBytes <= queued_) marks_.pop_front();
}

EventStreams::EventStreams(Listener& listener, Relay& relay) : listener_(listener), relay_(relay) {}

uint64_t EventStreams::maxReplay() const {
    return relay_.replayLines() > 0 ? relay_.replayLines() : kReplayLines;
}

void EventStreams::open(int conn, const std::string& address, const events::StreamStart& start,
                        const std::string& idText) {
    int id = 0;
    while (streams_.count(id)) ++id;
    Stream& s = streams_[id];
    byConn_[conn] = id;
    s.conn = conn;
    s.who = address + "-" + std::to_string(id);
    relay_.otherReceiverOpened(*this, id, address);
    if (!write(s, events::kStart)) return;
    s.next = startAt(s, start, idText, address);
    s.live = s.next > relay_.lastSent();
    if (!s.live) {
        s.reader = relay_.readKept(s.next);
        feed(s);
    }
}

uint64_t EventStreams::startAt(Stream& s, const events::StreamStart& start,
                               const std::string& idText, const std::string& address) {
    const uint64_t lastSent = relay_.lastSent();
    const uint64_t firstKept = relay_.firstKept();
    const auto logOnce = [&](const std::string& why) {
        if (idsLogged_.insert(address).second)
            relay_.logError(relay_.errorNumbers().badSetting,
                            "Receiver " + s.who + " (events) asked for \"" + idText.substr(0, 40) +
                                "\", " + why + "; it gets the live lines");
    };
    if (start.badId) {
        logOnce("which is no id");
        return lastSent + 1;
    }
    if (start.after) {
        if (*start.after > lastSent) {
            logOnce("an id not given yet");
            return lastSent + 1;
        }
        const uint64_t from = *start.after + 1;
        if (from >= firstKept) return from;
        lost(s, from, firstKept);
        return firstKept;
    }
    if (start.replay) {
        const uint64_t n = std::min({*start.replay, maxReplay(), lastSent});
        return std::max(lastSent + 1 - n, firstKept);
    }
    return lastSent + 1;
}

void EventStreams::lost(Stream& s, uint64_t from, uint64_t firstKept) {
    // Ids below this run's first were given by an earlier run: how many lines followed is not
    // known here.
    const bool known = from >= relay_.firstSeqOfRun();
    const uint64_t count = firstKept - from;
    if (known) {
        relay_.countLost("not_kept", count);
        relay_.logError(0, "Receiver " + s.who + " (events) missed " + std::to_string(count) +
                               " lines that are no longer kept");
    } else {
        relay_.logError(
            0, "Receiver " + s.who + " (events) missed lines of an earlier run that are not kept");
    }
    write(s, events::lostText(known ? std::optional(count) : std::nullopt));
}

bool EventStreams::write(Stream& s, const std::string& text) {
    if (s.dropped) return false;
    const OpResult r = listener_.send(s.conn, text);
    if (!r.ok()) {
        // A client that does not read costs only its own buffer: it goes, the others stay.
        s.dropped = true;
        relay_.receiverDropped();
        relay_.logError(r.code, "Receiver " + s.who + " (events) dropped: " + r.description);
        listener_.closeConnection(s.conn);
        return false;
    }
    s.lastWrite = relay_.clock().now();
    return true;
}

void EventStreams::send(uint64_t seq, std::string_view line) {
    std::string text;
    for (auto& [id, s] : streams_) {
        if (!s.live || s.dropped) continue;  // one catching up gets the line in its turn
        if (text.empty()) text = events::eventText(seq, line);
        if (!write(s, text)) continue;
        ++s.lines;
        s.next = seq + 1;
        s.trail.handed(seq, text.size());
    }
}

void EventStreams::feed(Stream& s) {
    std::string line;
    while (!s.dropped && s.next <= relay_.lastSent() &&
           listener_.pendingBytes(s.conn) < limits::kCatchUpFeedBytes) {
        const uint64_t firstKept = relay_.firstKept();
        if (s.next < firstKept) {  // the store let them go meanwhile
            lost(s, s.next, firstKept);
            s.next = firstKept;
            s.reader = relay_.readKept(s.next);
            continue;
        }
        uint64_t seq = s.next;
        if (!s.reader->next(line, seq)) break;  // a read error: tried again next step
        if (seq > relay_.lastSent()) {
            s.next = seq;
            break;
        }
        const std::string text = events::eventText(seq, line);
        if (!write(s, text)) return;
        ++s.lines;
        s.next = seq + 1;
        s.trail.handed(seq, text.size());
    }
    if (s.next > relay_.lastSent()) {
        s.live = true;
        s.reader.reset();
    }
}

void EventStreams::stepDone() {
    const Clock::TimePoint now = relay_.clock().now();
    for (auto& [id, s] : streams_) {
        if (!s.live) feed(s);
        if (now - s.lastWrite >= kKeepalive) write(s, events::kKeepalive);
    }
}

uint64_t EventStreams::keepFrom(uint64_t lastSent) {
    if (!enabled_) return lastSent + 1;
    uint64_t from = lastSent + 1 - std::min(maxReplay(), lastSent);
    const int resume = relay_.resumeSeconds() > 0 ? relay_.resumeSeconds() : kResumeSeconds;
    const Clock::TimePoint now = relay_.clock().now();
    while (!places_.empty() && now - places_.front().left > std::chrono::seconds(resume))
        places_.pop_front();
    for (const Place& p : places_) from = std::min(from, p.next);
    for (const auto& [id, s] : streams_) {
        from = std::min(from, s.next);
        if (s.trail.from()) from = std::min(from, *s.trail.from());
    }
    return from;
}

void EventStreams::closed(int conn) {
    const auto c = byConn_.find(conn);
    if (c == byConn_.end()) return;
    const int id = c->second;
    Stream& s = streams_[id];
    // It may come back for any line of its trail.
    const uint64_t next = std::min(s.next, s.trail.from().value_or(s.next));
    if (places_.size() >= limits::kPlaces) places_.pop_front();
    places_.push_back({next, relay_.clock().now()});
    byConn_.erase(c);
    streams_.erase(id);
    relay_.otherReceiverClosed(*this, id);
}

void EventStreams::close(int id) {
    const auto it = streams_.find(id);
    if (it != streams_.end()) listener_.closeConnection(it->second.conn);
}

uint64_t EventStreams::linesSent(int id) const {
    const auto it = streams_.find(id);
    return it == streams_.end() ? 0 : it->second.lines;
}

uint64_t EventStreams::bytesBehind(int id) const {
    const auto it = streams_.find(id);
    return it == streams_.end() ? 0 : listener_.pendingBytes(it->second.conn);
}

}  // namespace korrin
