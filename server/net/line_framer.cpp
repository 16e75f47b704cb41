// Line cutting with a bound: a line never grows past the maximum in memory. Lines are cut from
// the read in place; only an unfinished line is copied, to wait for the next read.
#include "server/net/line_framer.h"

#include <cstring>

namespace korrin {

// The common one-byte delimiter, without string_view::find's general search.
inline size_t LineFramer::findByte(std::string_view data, size_t from) const {
    if (from >= data.size()) return std::string_view::npos;
    const void* hit = memchr(data.data() + from, delimiter_[0], data.size() - from);
    return hit ? static_cast<size_t>(static_cast<const char*>(hit) - data.data())
               : std::string_view::npos;
}

size_t LineFramer::cut(std::string_view data, size_t from, Sink& sink) {
    const size_t dlen = delimiter_.size();
    size_t start = 0;
    for (size_t pos;
         (pos = dlen == 1 ? findByte(data, start + from) : data.find(delimiter_, start + from)) !=
         std::string_view::npos;) {
        if (!dropping_) {
            if (pos - start > maxLine_) {
                sink.overlong();
            } else {
                sink.line(data.substr(start, pos - start));
            }
        }
        dropping_ = false;
        start = pos + dlen;
        from = 0;
    }
    sink.cutDone();
    return start;
}

// Where the first delimiter that completes the unfinished line ends in the read: one may begin
// in the last bytes kept; npos when the read holds none.
size_t LineFramer::endOfFirstDelimiter(std::string_view bytes) const {
    const size_t dlen = delimiter_.size();
    const size_t kept = pending_.size() - scanned_;  // fewer than dlen bytes not yet searched
    if (kept > 0) {
        const std::string joint =
            pending_.substr(scanned_) + std::string(bytes.substr(0, dlen - 1));
        const size_t pos = joint.find(delimiter_);
        if (pos != std::string::npos && pos < kept) return pos + dlen - kept;
    }
    const size_t pos = bytes.find(delimiter_);
    return pos == std::string_view::npos ? pos : pos + dlen;
}

void LineFramer::feed(std::string_view bytes, Sink& sink) {
    // The listener hands data on raw while no delimiter is set.
    if (delimiter_.empty()) return;
    const size_t dlen = delimiter_.size();
    if (!pending_.empty()) {
        const size_t end = endOfFirstDelimiter(bytes);
        const size_t take = end == std::string_view::npos ? bytes.size() : end;
        pending_.append(bytes.data(), take);
        bytes.remove_prefix(take);
        pending_.erase(0, cut(pending_, scanned_, sink));
        scanned_ = 0;
    }
    if (pending_.empty()) pending_.append(bytes.substr(cut(bytes, 0, sink)));
    // What is left is a partial line. Give a long one's room back once it is done, or every
    // idle connection would keep that much memory.
    if (pending_.capacity() > kKeptRoom && pending_.size() <= kKeptRoom / 2)
        std::string(pending_).swap(pending_);
    // Everything but a possible partial delimiter at the end has been searched.
    scanned_ = pending_.size() >= dlen ? pending_.size() - (dlen - 1) : 0;
    if (pending_.size() > maxLine_ + dlen) {
        if (!dropping_) sink.overlong();
        dropping_ = true;
        // Keep only the tail that may start a delimiter.
        pending_.erase(0, pending_.size() - (dlen - 1));
        scanned_ = 0;
    }
}

std::string LineFramer::takeRest() {
    std::string rest;
    if (!dropping_) rest.swap(pending_);
    pending_.clear();
    scanned_ = 0;
    dropping_ = false;
    return rest;
}

}  // namespace korrin
