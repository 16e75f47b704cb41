// Reading a spool folder at the start: the sent place, each segment's sound records, the tail a
// kill can leave (cut) and any other damage (skipped to the next sound record, kept, counted).
#include <algorithm>

#include "server/net/crc32c.h"
#include "server/net/journal.h"
#include "server/net/journal_bytes.h"
#include "server/net/journal_format.h"

namespace korrin {
using namespace journal_format;
namespace {

// The first sequence a segment's file name gives; 0 for a file that is no segment.
uint64_t segmentFirst(const std::string& name) {
    if (name.size() != kNameDigits + sizeof kSegmentSuffix - 1 ||
        name.compare(kNameDigits, std::string::npos, kSegmentSuffix) != 0)
        return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < kNameDigits; ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        const uint64_t digit = static_cast<uint64_t>(name[i] - '0');
        if (v > (UINT64_MAX - digit) / 10) return 0;
        v = v * 10 + digit;
    }
    return v;
}

// Where the zero bytes that run up to end begin (end when the last byte is not zero).
uint64_t zerosFrom(JournalFile& file, std::string& buffer, uint64_t& bufferAt, uint64_t offset,
                   uint64_t end, bool& ok) {
    uint64_t from = offset;
    while (offset < end) {
        const std::string_view b = bytesAt(file, buffer, bufferAt, offset, kReadChunk, end, ok);
        if (!ok || b.empty()) return end;
        const size_t last = b.find_last_not_of('\0');
        if (last != std::string_view::npos) from = offset + last + 1;
        offset += b.size();
    }
    return from;
}

std::string missing(uint64_t from, uint64_t to) {
    return from == to
               ? "line " + std::to_string(from) + " is missing"
               : "lines " + std::to_string(from) + " to " + std::to_string(to) + " are missing";
}

}  // namespace

bool Journal::setAside(const std::string& name, std::string& to) {
    // Never over an earlier one: name.bad, name.bad.1, ...
    std::vector<std::string> names;
    if (!folder_.list(names)) return false;
    to = name + ".bad";
    for (int n = 1; std::find(names.begin(), names.end(), to) != names.end(); ++n)
        to = name + ".bad." + std::to_string(n);
    return folder_.rename(name, to);
}

bool Journal::open(JournalReporter& reporter) {
    reporter_ = &reporter;
    open_ = false;
    error_.clear();
    segments_.clear();
    pending_.clear();
    unsynced_.clear();
    rewrite_ = false;
    tail_.reset();
    sentFile_.reset();
    ackedFile_.reset();
    ackedSeq_.reset();
    ackedSynced_ = true;
    pendingBytes_ = bytes_ = missingAtOpen_ = heldAtOpen_ = 0;
    nextSegmentOpen_ = false;
    gone_ = false;
    ++generation_;
    if (!folder_.create()) return fail("cannot create " + folder_.path());
    std::vector<std::string> names;
    if (!folder_.list(names)) return fail("cannot read " + folder_.path());
    uint64_t free = 0;
    freeAtOpen_ = folder_.freeBytes(free) ? free : UINT64_MAX;
    segmentBytes_ = std::min(maxSegmentBytes_, std::max(kMinSegmentBytes, freeAtOpen_ / 4));

    // The sent place: the sound slot with the higher sequence.
    sentFile_ = folder_.open(kSentFile, true);
    uint64_t sentSize = 0;
    if (!sentFile_ || !sentFile_->size(sentSize))
        return fail("cannot open " + folder_.path() + "/" + kSentFile);
    sentSeq_ = 0;
    char slots[2 * kSentSlot];
    const int64_t got = sentFile_->readAt(0, slots, sizeof slots);
    sentSeq_ = readSlots(slots, got, kSentMagic).value_or(0);
    // Both slots exist before any line is taken, so that moving the place never needs room.
    if (sentSize < sizeof slots) {
        putSlot(slots, sentSeq_);
        putSlot(slots + kSentSlot, sentSeq_);
        if (!sentFile_->writeAt(0, slots, sizeof slots) || !sentFile_->sync() || !folder_.sync())
            return fail(std::string("cannot write ") + kSentFile);
    }

    for (const std::string& n : names) {
        if (n != kAckedFile) continue;
        ackedFile_ = folder_.open(kAckedFile, false);
        if (ackedFile_) {
            const int64_t read = ackedFile_->readAt(0, slots, sizeof slots);
            ackedSeq_ = readSlots(slots, read, kAckedMagic);
        }
        // Unreadable: the broker gets the lines not sent, as with a spool of an earlier build.
        if (!ackedSeq_) ackedFile_.reset();
        ackedWritten_ = ackedSeq_.value_or(0);
    }

    std::vector<uint64_t> firsts;
    for (const std::string& n : names)
        if (const uint64_t first = segmentFirst(n)) firsts.push_back(first);
    std::sort(firsts.begin(), firsts.end());
    // Below the oldest segment every line was sent: segments go only then.
    const uint64_t sentFloor = firsts.empty() ? sentSeq_ : std::max(sentSeq_, firsts[0] - 1);
    uint64_t seen = sentSeq_;  // the highest sequence the files say was used
    bool cut = false, lostEnd = false;
    for (size_t i = 0; i < firsts.size(); ++i) {
        const uint64_t first = firsts[i];
        const std::string name = segmentName(first);
        seen = std::max(seen, first - 1);
        std::string to;
        const auto setAsideBecause = [&](const std::string& why) {
            const bool renamed = setAside(name, to);
            reporter_->note("Spool: " + name + " " + why +
                            (renamed
                                 ? "; kept as " + to
                                 : "; skipped (cannot rename it: " + folder_.lastError() + ")"));
            if (!renamed) seen = std::max(seen, first);  // a name left in place is not made anew
        };
        Segment s;
        s.firstSeq = first;
        s.lastSeq = first - 1;
        const uint64_t before = segments_.empty() ? 0 : segments_.back().lastSeq;
        if (!segments_.empty() && first <= before) {
            setAsideBecause("begins inside the segment before it");
            continue;
        }
        auto file = folder_.open(name, false);
        if (!file || !file->size(s.size)) {
            const std::string why = folder_.lastError();
            file.reset();
            lostEnd = lostEnd || i + 1 == firsts.size();
            setAsideBecause("cannot be read (" + why + ")");
            continue;
        }
        const Tail tail = scan(s, *file, sentFloor);
        seen = std::max(seen, s.lastSeq);
        if (i + 1 == firsts.size() && tail == Tail::kTorn) {
            // What a kill or a power cut leaves: a last record written in part.
            if (!file->truncate(s.readable) || !file->sync()) return fail("cannot cut " + name);
            reporter_->note("Spool: " + name + " cut at byte " + std::to_string(s.readable) + ": " +
                            std::to_string(s.size - s.readable) +
                            " bytes of a record written in part dropped");
            s.size = s.readable;
            s.damaged = !s.gaps.empty();
            cut = true;
        } else if (i + 1 == firsts.size() && tail != Tail::kNone) {
            lostEnd = true;
        }
        file.reset();
        if (s.lastSeq < s.firstSeq) {  // no sound record at all
            if (s.size == 0) {
                if (!folder_.remove(name))
                    reporter_->note("Spool: cannot delete the empty " + name + ": " +
                                    folder_.lastError());
            } else {
                lostEnd = lostEnd || i + 1 == firsts.size();
                setAsideBecause("holds no readable line");
            }
            continue;
        }
        if (!segments_.empty() && first > before + 1)
            reporter_->note("Spool: " + missing(before + 1, first - 1));
        segments_.push_back(s);
    }
    folder_.sync();
    for (const Segment& s : segments_) bytes_ += s.size;
    // Numbers are never given twice: the next is above every one the files name.
    lastSeq_ = seen;
    // Each line after the sent place that no sound record holds is lost, and so is one at least
    // of a cut tail, of damage at the very end or of a newest segment that cannot be read.
    missingAtOpen_ =
        (lastSeq_ > sentFloor ? lastSeq_ - sentFloor - std::min(heldAtOpen_, lastSeq_ - sentFloor)
                              : 0) +
        cut + lostEnd;
    if (missingAtOpen_ > 0) reporter_->lost(missingAtOpen_);
    writtenSeq_ = syncedSeq_ = lastSeq_;
    // Lines below the oldest segment were sent, or are lost; none is waiting.
    sentSeq_ = std::max(sentSeq_, segments_.empty() ? lastSeq_ : segments_.front().firstSeq - 1);
    sentWritten_ = sentSeq_;
    // Appends go on in the newest segment when it is sound, holds the newest line and has room.
    if (!segments_.empty()) {
        const Segment& s = segments_.back();
        if (!s.damaged && s.lastSeq == lastSeq_ && s.size < segmentBytes_) {
            tail_ = folder_.open(segmentName(s.firstSeq), false);
            if (tail_) {
                nextSegmentOpen_ = true;
                nextSegment_ = s.firstSeq;
                nextSegmentSize_ = s.size;
            }
        }
    }
    tailSynced_ = sentSynced_ = true;
    open_ = true;
    return true;
}

Journal::Tail Journal::scan(Segment& s, JournalFile& file, uint64_t sentFloor) {
    const std::string name = segmentName(s.firstSeq);
    std::string buffer;
    uint64_t bufferAt = 0, offset = 0, expected = s.firstSeq;
    bool ok = true;
    Decoded d{Decoded::kShort, 0, {}, 0};
    while (offset < s.size) {
        d = decode(bytesAt(file, buffer, bufferAt, offset, kHeaderBytes + kMaxLine, s.size, ok));
        if (!ok) break;
        if (d.kind == Decoded::kRecord && d.seq == expected) {
            if (d.seq > sentFloor) ++heldAtOpen_;
            ++expected;
            offset += d.size;
            continue;
        }
        // Damage: the reading goes on at the next record whose checksum holds and whose
        // sequence can follow (each record in between took 16 bytes at least).
        Decoded next{Decoded::kShort, 0, {}, 0};
        uint64_t at = offset + 1;
        for (; at + kHeaderBytes <= s.size; ++at) {
            const std::string_view c =
                bytesAt(file, buffer, bufferAt, at, kHeaderBytes + kMaxLine, s.size, ok);
            if (!ok) break;
            const uint64_t seq = get64(c.data() + 8);
            if (seq < expected || seq - expected > (at - offset) / kHeaderBytes) continue;
            next = decode(c);
            if (next.kind == Decoded::kRecord) break;
        }
        if (!ok || next.kind != Decoded::kRecord) {
            ok = true;  // the damage at offset is what ends the readable part
            break;
        }
        reporter_->note("Spool: " + name + " has " + reason(d.kind) + " at byte " +
                        std::to_string(offset) + "; bytes up to " + std::to_string(at) +
                        " are skipped and kept" +
                        (next.seq > expected ? ", " + missing(expected, next.seq - 1) : ""));
        s.gaps.push_back(Gap{offset, at});
        offset = at;
        expected = next.seq;
    }
    s.readable = offset;
    s.lastSeq = expected - 1;
    s.damaged = !s.gaps.empty() || offset < s.size;
    if (offset >= s.size) return Tail::kNone;
    // What a kill or a power cut leaves: a last record shorter than its header says, or one
    // whose bytes turn to zeros that run to the end of the file.
    if (ok && d.kind == Decoded::kShort) return Tail::kTorn;
    const uint64_t zeros = ok ? zerosFrom(file, buffer, bufferAt, offset, s.size, ok) : s.size;
    const std::string_view h =
        ok ? bytesAt(file, buffer, bufferAt, offset, kHeaderBytes, s.size, ok) : "";
    if (ok && zeros < s.size &&
        (zeros < offset + kHeaderBytes ||
         (d.kind != Decoded::kBadLength && zeros < offset + kHeaderBytes + get32(h.data() + 4))))
        return Tail::kTorn;
    reporter_->note("Spool: " + name + " has " + (ok ? reason(d.kind) : "a read error") +
                    " at byte " + std::to_string(offset) + "; its last " +
                    std::to_string(s.size - offset) + " bytes are skipped and kept");
    return Tail::kDamaged;
}

}  // namespace korrin
