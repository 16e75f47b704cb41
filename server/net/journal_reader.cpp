// Reading written lines back in order, for the send step and the catch-ups.
#include "server/net/journal.h"
#include "server/net/journal_bytes.h"
#include "server/net/journal_format.h"

namespace korrin {
using namespace journal_format;

const Journal::Segment* Journal::segmentOf(uint64_t seq) const {
    for (const Segment& s : segments_)
        if (s.lastSeq >= seq && s.lastSeq >= s.firstSeq) return &s;
    return nullptr;
}

bool Journal::Reader::next(std::string& line, uint64_t& seq) {
    Journal& j = *journal_;
    if (generation_ != j.generation_) file_.reset();  // opened in a folder that went
    generation_ = j.generation_;
    while (nextSeq_ <= j.writtenSeq_) {
        const Segment* s = nullptr;
        if (file_) {
            for (const Segment& c : j.segments_)
                if (c.firstSeq == segmentFirst_) s = &c;
            if (!s) file_.reset();  // released meanwhile
        }
        if (!file_) {
            s = j.segmentOf(nextSeq_);
            if (!s) return false;
            file_ = j.folder_.open(segmentName(s->firstSeq), false);
            if (!file_) return j.fail("cannot open " + segmentName(s->firstSeq));
            segmentFirst_ = s->firstSeq;
            offset_ = 0;
            buffer_.clear();
            bufferAt_ = 0;
        }
        for (const Gap& g : s->gaps)
            if (g.from == offset_) offset_ = g.to;  // damage: the open found what follows
        if (offset_ >= s->readable) {
            if (s->lastSeq >= nextSeq_) return false;  // not written yet
            file_.reset();
            continue;
        }
        bool ok;
        const std::string_view b =
            bytesAt(*file_, buffer_, bufferAt_, offset_, kHeaderBytes + kMaxLine, s->readable, ok);
        const Decoded d = ok ? decode(b) : Decoded{Decoded::kShort, 0, {}, 0};
        if (d.kind != Decoded::kRecord) {
            j.error_ = "cannot read " + segmentName(s->firstSeq) + " at byte " +
                       std::to_string(offset_) + ": " + (ok ? reason(d.kind) : "a read error");
            return false;
        }
        offset_ += d.size;
        if (d.seq < nextSeq_) continue;
        line.assign(d.line);
        seq = d.seq;
        nextSeq_ = d.seq + 1;
        return true;
    }
    return false;
}

}  // namespace korrin
