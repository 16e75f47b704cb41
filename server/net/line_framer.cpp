// Line cutting with a bound: a line never grows past the maximum in memory.
#include "server/net/line_framer.h"

namespace korrin {

void LineFramer::feed(std::string_view bytes, Sink& sink) {
    // The listener hands data on raw while no delimiter is set.
    if (delimiter_.empty()) return;
    const size_t dlen = delimiter_.size();
    pending_.append(bytes.data(), bytes.size());
    size_t start = 0;
    for (;;) {
        size_t from = start + scanned_;
        size_t pos = pending_.find(delimiter_, from);
        if (pos == std::string::npos) break;
        if (!dropping_) {
            if (pos - start > maxLine_) {
                sink.overlong();
            } else {
                sink.line(std::string_view(pending_).substr(start, pos - start));
            }
        }
        dropping_ = false;
        start = pos + dlen;
        scanned_ = 0;
    }
    pending_.erase(0, start);
    // A whole read passed through here; what is left is a partial line. Give the read's room
    // back, or every idle connection would keep a read's worth of memory.
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
