#include "server/net/journal.h"

#include <algorithm>
#include <cstring>

#include "server/net/crc32c.h"

namespace korrin {
namespace {

constexpr char kSegmentSuffix[] = ".seg";
constexpr size_t kNameDigits = 20;
constexpr uint32_t kSentMagic = 0x746E534B;  // "KSnt"
constexpr size_t kSentSlot = 16;
constexpr size_t kReadChunk = 1024 * 1024;
constexpr size_t kBatchBytes = 1024 * 1024;

void put32(char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
}
void put64(char* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<char>(v >> (8 * i));
}
uint32_t get32(const char* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}
uint64_t get64(const char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

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

// The bytes of file from offset on, at least want of them where the file (up to end) has them;
// buffer holds the bytes read before from bufferAt on. Empty with ok false on a read error.
std::string_view bytesAt(JournalFile& file, std::string& buffer, uint64_t& bufferAt,
                         uint64_t offset, size_t want, uint64_t end, bool& ok) {
    ok = true;
    want = static_cast<size_t>(std::min<uint64_t>(want, end > offset ? end - offset : 0));
    if (offset < bufferAt || offset > bufferAt + buffer.size()) {
        buffer.clear();
        bufferAt = offset;
    }
    if (bufferAt + buffer.size() < offset + want) {
        buffer.erase(0, static_cast<size_t>(offset - bufferAt));
        bufferAt = offset;
        const size_t have = buffer.size();
        const size_t more = static_cast<size_t>(
            std::min<uint64_t>(std::max(kReadChunk, want - have), end - (offset + have)));
        buffer.resize(have + more);
        const int64_t got = file.readAt(offset + have, &buffer[have], more);
        if (got < 0) {
            buffer.resize(have);
            ok = false;
            return {};
        }
        buffer.resize(have + static_cast<size_t>(got));
    }
    return std::string_view(buffer).substr(static_cast<size_t>(offset - bufferAt));
}

const char* reason(Journal::Decoded::Kind k) {
    switch (k) {
        case Journal::Decoded::kShort:
            return "a short record";
        case Journal::Decoded::kBadLength:
            return "a bad length";
        case Journal::Decoded::kBadCrc:
            return "a bad checksum";
        default:
            return "a sequence out of order";
    }
}

}  // namespace

Journal::Journal(JournalFolder& folder, uint64_t segmentBytes)
    : folder_(folder), segmentBytes_(segmentBytes) {}

Journal::~Journal() = default;

std::string Journal::segmentName(uint64_t firstSeq) {
    std::string digits = std::to_string(firstSeq);
    return std::string(kNameDigits - digits.size(), '0') + digits + kSegmentSuffix;
}

void Journal::encode(std::string& out, uint64_t seq, std::string_view line) {
    char header[kHeaderBytes];
    put32(header + 4, static_cast<uint32_t>(line.size()));
    put64(header + 8, seq);
    put32(header, crc32c(crc32c(0, header + 4, 12), line.data(), line.size()));
    out.append(header, kHeaderBytes);
    out.append(line);
}

Journal::Decoded Journal::decode(std::string_view bytes) {
    Decoded d{Decoded::kShort, 0, {}, 0};
    if (bytes.size() < kHeaderBytes) return d;
    const uint32_t length = get32(bytes.data() + 4);
    if (length > kMaxLine) {
        d.kind = Decoded::kBadLength;
        return d;
    }
    if (bytes.size() - kHeaderBytes < length) return d;
    const uint32_t crc =
        crc32c(crc32c(0, bytes.data() + 4, 12), bytes.data() + kHeaderBytes, length);
    if (crc != get32(bytes.data())) {
        d.kind = Decoded::kBadCrc;
        return d;
    }
    d.kind = Decoded::kRecord;
    d.seq = get64(bytes.data() + 8);
    d.line = bytes.substr(kHeaderBytes, length);
    d.size = kHeaderBytes + length;
    return d;
}

bool Journal::fail(const std::string& what) {
    error_ = what + ": " + folder_.lastError();
    return false;
}

bool Journal::open(std::vector<std::string>& notes) {
    open_ = false;
    error_.clear();
    segments_.clear();
    pending_.clear();
    tail_.reset();
    sentFile_.reset();
    pendingBytes_ = bytes_ = missingAtOpen_ = 0;
    nextSegmentOpen_ = false;
    if (!folder_.create()) return fail("cannot create " + folder_.path());
    std::vector<std::string> names;
    if (!folder_.list(names)) return fail("cannot read " + folder_.path());
    sentFile_ = folder_.open(kSentFile, true);
    if (!sentFile_) return fail("cannot open " + folder_.path() + "/" + kSentFile);

    // The sent place: the sound slot with the higher sequence.
    sentSeq_ = 0;
    char slots[2 * kSentSlot];
    const int64_t got = sentFile_->readAt(0, slots, sizeof slots);
    for (int64_t at = 0; at + static_cast<int64_t>(kSentSlot) <= got; at += kSentSlot) {
        const char* s = slots + at;
        if (get32(s + 12) == kSentMagic && get32(s + 8) == crc32c(0, s, 8))
            sentSeq_ = std::max(sentSeq_, get64(s));
    }

    std::vector<uint64_t> firsts;
    for (const std::string& n : names)
        if (const uint64_t first = segmentFirst(n)) firsts.push_back(first);
    std::sort(firsts.begin(), firsts.end());
    for (uint64_t first : firsts) {
        const std::string name = segmentName(first);
        Segment s;
        s.firstSeq = first;
        s.lastSeq = first - 1;
        const uint64_t before = segments_.empty() ? 0 : segments_.back().lastSeq;
        if (!segments_.empty() && first <= before) {
            notes.push_back("Spool: " + name + " begins inside the segment before it; kept as " +
                            name + ".bad");
            if (!folder_.rename(name, name + ".bad")) return fail("cannot rename " + name);
            continue;
        }
        if (!scan(s, notes)) return false;
        if (s.lastSeq < s.firstSeq) {  // no sound record at all
            if (s.size == 0) {
                if (!folder_.remove(name)) return fail("cannot delete " + name);
            } else {
                notes.push_back("Spool: " + name + " holds no readable line; kept as " + name +
                                ".bad");
                if (!folder_.rename(name, name + ".bad")) return fail("cannot rename " + name);
            }
            continue;
        }
        if (!segments_.empty() && first > before + 1) missingAtOpen_ += first - before - 1;
        if (!segments_.empty() && first > before + 1)
            notes.push_back("Spool: lines " + std::to_string(before + 1) + " to " +
                            std::to_string(first - 1) + " are missing");
        segments_.push_back(s);
    }
    // A torn tail of the newest segment, shorter than one record, is what a crash leaves: cut.
    if (!segments_.empty() && segments_.back().damaged &&
        segments_.back().size - segments_.back().readable < kHeaderBytes + kMaxLine) {
        Segment& s = segments_.back();
        const std::string name = segmentName(s.firstSeq);
        auto file = folder_.open(name, false);
        if (!file || !file->truncate(s.readable)) return fail("cannot cut " + name);
        notes.push_back("Spool: " + name + " cut at byte " + std::to_string(s.readable) + ": " +
                        std::to_string(s.size - s.readable) + " bytes dropped");
        s.size = s.readable;
        s.damaged = false;
        if (!file->sync()) return fail("cannot cut " + name);
    }
    folder_.sync();
    for (const Segment& s : segments_) bytes_ += s.size;
    lastSeq_ = std::max(segments_.empty() ? 0 : segments_.back().lastSeq, sentSeq_);
    writtenSeq_ = syncedSeq_ = lastSeq_;
    // Lines below the oldest segment were deleted once sent.
    if (!segments_.empty()) sentSeq_ = std::max(sentSeq_, segments_.front().firstSeq - 1);
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

bool Journal::scan(Segment& s, std::vector<std::string>& notes) {
    const std::string name = segmentName(s.firstSeq);
    auto file = folder_.open(name, false);
    if (!file) return fail("cannot open " + name);
    s.size = file->size();
    std::string buffer;
    uint64_t bufferAt = 0, offset = 0, expected = s.firstSeq;
    const char* why = nullptr;
    while (offset < s.size) {
        bool ok;
        const std::string_view b =
            bytesAt(*file, buffer, bufferAt, offset, kHeaderBytes + kMaxLine, s.size, ok);
        if (!ok) {
            why = "a read error";
            break;
        }
        const Decoded d = decode(b);
        if (d.kind != Decoded::kRecord || d.seq != expected) {
            why = reason(d.kind);
            break;
        }
        ++expected;
        offset += d.size;
    }
    s.readable = offset;
    s.lastSeq = expected - 1;
    s.damaged = offset < s.size;
    if (s.damaged && !(s.size - offset < kHeaderBytes + kMaxLine))
        notes.push_back("Spool: " + name + " has " + why + " at byte " + std::to_string(offset) +
                        "; its last " + std::to_string(s.size - offset) +
                        " bytes are skipped and kept");
    return true;
}

uint64_t Journal::firstSeq() const {
    if (!segments_.empty()) return segments_.front().firstSeq;
    if (!pending_.empty()) return pending_.front().firstSeq;
    return lastSeq_ + 1;
}

uint64_t Journal::append(std::string_view line) {
    const uint64_t seq = ++lastSeq_;
    const uint64_t size = kHeaderBytes + line.size();
    if (!nextSegmentOpen_ || (nextSegmentSize_ > 0 && nextSegmentSize_ + size > segmentBytes_)) {
        nextSegmentOpen_ = true;
        nextSegment_ = seq;
        nextSegmentSize_ = 0;
    }
    if (pending_.empty() || pending_.back().segmentFirst != nextSegment_) {
        pending_.push_back(Pending{nextSegment_, seq, seq, std::move(spare_)});
        pending_.back().bytes.clear();
        pending_.back().bytes.reserve(kBatchBytes);
        spare_ = std::string();
    }
    Pending& p = pending_.back();
    encode(p.bytes, seq, line);
    p.lastSeq = seq;
    nextSegmentSize_ += size;
    pendingBytes_ += size;
    return seq;
}

bool Journal::openTail(uint64_t firstSeq) {
    // The segment written before must reach stable storage too, not only the new one.
    if (tail_ && !tailSynced_ && !tail_->sync()) return fail("cannot sync");
    tail_.reset();
    const std::string name = segmentName(firstSeq);
    tail_ = folder_.open(name, true);
    if (!tail_) return fail("cannot create " + name);
    if (tail_->size() != 0) {
        tail_.reset();
        error_ = name + " exists already";
        return false;
    }
    if (!folder_.sync()) {
        tail_.reset();
        folder_.remove(name);
        return fail("cannot sync " + folder_.path());
    }
    Segment s;
    s.firstSeq = firstSeq;
    s.lastSeq = firstSeq - 1;
    segments_.push_back(s);
    tailSynced_ = true;
    return true;
}

bool Journal::writeOut() {
    while (!pending_.empty()) {
        Pending& p = pending_.front();
        if (!tail_ || segments_.empty() || segments_.back().firstSeq != p.segmentFirst) {
            if (!openTail(p.segmentFirst)) return false;
        }
        Segment& s = segments_.back();
        if (!tail_->writeAt(s.size, p.bytes.data(), p.bytes.size()))
            return fail("cannot write " + segmentName(s.firstSeq));
        s.size += p.bytes.size();
        s.readable = s.size;
        s.lastSeq = p.lastSeq;
        bytes_ += p.bytes.size();
        pendingBytes_ -= p.bytes.size();
        writtenSeq_ = p.lastSeq;
        tailSynced_ = false;
        if (p.bytes.capacity() <= 4 * kBatchBytes) spare_ = std::move(p.bytes);
        pending_.pop_front();
    }
    if (sentWritten_ != sentSeq_ && !writeSent()) return false;
    return true;
}

bool Journal::writeSent() {
    char slot[kSentSlot];
    put64(slot, sentSeq_);
    put32(slot + 8, crc32c(0, slot, 8));
    put32(slot + 12, kSentMagic);
    // Two slots written in turn: a torn write leaves the other one sound.
    if (!sentFile_->writeAt((sentWrites_ & 1) * kSentSlot, slot, kSentSlot))
        return fail(std::string("cannot write ") + kSentFile);
    ++sentWrites_;
    sentWritten_ = sentSeq_;
    sentSynced_ = false;
    return true;
}

bool Journal::sync() {
    if (!writeOut()) return false;
    if (tail_ && !tailSynced_) {
        if (!tail_->sync()) return fail("cannot sync " + segmentName(segments_.back().firstSeq));
        tailSynced_ = true;
    }
    if (!sentSynced_) {
        if (!sentFile_->sync()) return fail(std::string("cannot sync ") + kSentFile);
        sentSynced_ = true;
    }
    syncedSeq_ = writtenSeq_;
    return true;
}

void Journal::markSent(uint64_t seq) {
    if (seq <= sentSeq_) return;
    sentSeq_ = seq;
    writeSent();  // a failure is written again by the next writeOut
}

void Journal::release(uint64_t keepFrom, bool evenTheTail) {
    bool changed = false;
    while (!segments_.empty()) {
        const Segment& s = segments_.front();
        const bool writing = tail_ && segments_.size() == 1;
        if ((writing && (!evenTheTail || !pending_.empty())) || s.lastSeq >= keepFrom ||
            s.lastSeq > sentSeq_)
            break;
        if (writing) {
            if (!tailSynced_) tail_->sync();
            tail_.reset();
            nextSegmentOpen_ = false;
        }
        const std::string name = segmentName(s.firstSeq);
        if (!(s.damaged ? folder_.rename(name, name + ".bad") : folder_.remove(name))) break;
        bytes_ -= s.size;
        segments_.pop_front();
        changed = true;
    }
    if (changed) folder_.sync();
}

const Journal::Segment* Journal::segmentOf(uint64_t seq) const {
    for (const Segment& s : segments_)
        if (s.lastSeq >= seq && s.lastSeq >= s.firstSeq) return &s;
    return nullptr;
}

bool Journal::Reader::next(std::string& line, uint64_t& seq) {
    Journal& j = *journal_;
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
