#include "server/net/journal.h"

#include <algorithm>
#include <cstring>

#include "server/net/crc32c.h"
#include "server/net/journal_bytes.h"
#include "server/net/journal_format.h"

namespace korrin {
using namespace journal_format;
namespace {

constexpr size_t kBatchBytes = 1024 * 1024;
constexpr size_t kUnsyncedBytes = 32 * 1024 * 1024;

}  // namespace

Journal::Journal(JournalFolder& folder, uint64_t segmentBytes)
    : folder_(folder), maxSegmentBytes_(segmentBytes), segmentBytes_(segmentBytes) {}

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
    if (!syncTail()) return false;
    tail_.reset();
    unsynced_.clear();
    const std::string name = segmentName(firstSeq);
    tail_ = folder_.open(name, true);
    if (!tail_) return fail("cannot create " + name);
    uint64_t size = 0;
    if (!tail_->size(size)) {
        tail_.reset();
        return fail("cannot open " + name);
    }
    if (size != 0) {
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

bool Journal::syncTail() {
    if (!tail_ || tailSynced_) return true;
    if (rewrite_) return false;  // what a failed flush may have lost is not written again yet
    if (!tail_->sync()) {
        rewrite_ = true;
        return fail("cannot sync " + segmentName(segments_.back().firstSeq));
    }
    tailSynced_ = true;
    if (unsynced_.capacity() > 4 * kBatchBytes) std::string().swap(unsynced_);
    unsynced_.clear();
    return true;
}

bool Journal::writeOut() {
    if (gone_ && !remake()) return false;
    if (rewrite_ && tail_) {
        if (!tail_->writeAt(unsyncedAt_, unsynced_.data(), unsynced_.size()))
            return fail("cannot write " + segmentName(segments_.back().firstSeq));
        rewrite_ = false;
    }
    bool ok = true;
    while (ok && !pending_.empty()) {
        Pending& p = pending_.front();
        if (!tail_ || segments_.empty() || segments_.back().firstSeq != p.segmentFirst) {
            if (!(ok = openTail(p.segmentFirst))) break;
        }
        Segment& s = segments_.back();
        if (!tail_->writeAt(s.size, p.bytes.data(), p.bytes.size())) {
            ok = fail("cannot write " + segmentName(s.firstSeq));
            break;
        }
        if (unsynced_.empty()) unsyncedAt_ = s.size;
        unsynced_ += p.bytes;
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
    // What waits to be written again is held in memory: past a bound, it is flushed early.
    if (ok && unsynced_.size() > kUnsyncedBytes && !syncTail()) return false;
    // The sent place moves even when lines could not be written: its slots need no room.
    if (sentWritten_ != sentSeq_ && !writeSent()) return false;
    if (ackedSeq_ && ackedWritten_ != *ackedSeq_ && !writeAcked()) return false;
    return ok;
}

bool Journal::writeSent() {
    char slot[kSentSlot];
    putSlot(slot, sentSeq_);
    // Two slots written in turn: a torn write leaves the other one sound.
    if (!sentFile_->writeAt((sentWrites_ & 1) * kSentSlot, slot, kSentSlot))
        return fail(std::string("cannot write ") + kSentFile);
    ++sentWrites_;
    sentWritten_ = sentSeq_;
    sentSynced_ = false;
    return true;
}

bool Journal::writeAcked() {
    char slots[2 * kSentSlot];
    putSlot(slots, *ackedSeq_, kAckedMagic);
    putSlot(slots + kSentSlot, *ackedSeq_, kAckedMagic);
    if (!ackedFile_) {
        // Both slots exist from the start, as the sent file's do.
        ackedFile_ = folder_.open(kAckedFile, true);
        if (!ackedFile_ || !ackedFile_->truncate(0) ||
            !ackedFile_->writeAt(0, slots, sizeof slots)) {
            ackedFile_.reset();
            return fail(std::string("cannot write ") + kAckedFile);
        }
        ackedMade_ = true;
    } else if (!ackedFile_->writeAt((ackedWrites_ & 1) * kSentSlot, slots, kSentSlot)) {
        return fail(std::string("cannot write ") + kAckedFile);
    }
    ++ackedWrites_;
    ackedWritten_ = *ackedSeq_;
    ackedSynced_ = false;
    return true;
}

void Journal::markAcked(uint64_t seq) {
    if (ackedSeq_ && seq <= *ackedSeq_) return;
    ackedSeq_ = seq;
    if (!gone_) writeAcked();  // a failure is written again by the next writeOut
}

bool Journal::sync() {
    if (!gone_ && !stillThere()) {
        // Flushing files nobody will read again would only make the numbers lie: the lines are
        // kept here, and the folder is made anew at the next write.
        gone_ = true;
        syncedSeq_ = std::min(syncedSeq_, sentSeq_);
        error_ = folder_.path() + " was deleted or replaced while in use";
        return false;
    }
    const bool wrote = writeOut();
    if (gone_) return false;
    // What was written is flushed even when a later write failed.
    const uint64_t written = writtenSeq_;
    if (!syncTail()) return false;
    if (!sentSynced_) {
        if (!sentFile_->sync()) {
            sentWritten_ = sentSeq_ - 1;  // written again by the next writeOut
            return fail(std::string("cannot sync ") + kSentFile);
        }
        sentSynced_ = true;
    }
    if (!ackedSynced_) {
        if (!ackedFile_->sync() || (ackedMade_ && !folder_.sync())) {
            ackedWritten_ = *ackedSeq_ - 1;  // written again by the next writeOut
            return fail(std::string("cannot sync ") + kAckedFile);
        }
        ackedSynced_ = true;
        ackedMade_ = false;
    }
    syncedSeq_ = written;
    if (wrote) error_.clear();
    return wrote;
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
        if ((writing && !evenTheTail) || s.lastSeq >= keepFrom || s.lastSeq > sentSeq_) break;
        const std::string name = segmentName(s.firstSeq);
        std::string to;
        if (!(s.damaged ? setAside(name, to) : folder_.remove(name))) break;
        if (writing) {
            // Lines still waiting for it start a new segment: a full disk gets its room back.
            tail_.reset();
            unsynced_.clear();
            rewrite_ = false;
            tailSynced_ = true;
            const uint64_t moved = pending_.empty() ? 0 : pending_.front().firstSeq;
            for (Pending& p : pending_)
                if (p.segmentFirst == s.firstSeq) p.segmentFirst = moved;
            if (nextSegment_ == s.firstSeq) {
                nextSegmentOpen_ = !pending_.empty();
                nextSegment_ = moved;
                nextSegmentSize_ -= s.size;
            }
        }
        bytes_ -= s.size;
        segments_.pop_front();
        changed = true;
    }
    if (changed) folder_.sync();
}

bool Journal::stillThere() {
    return folder_.stillThere() && (!sentFile_ || sentFile_->stillThere()) &&
           (!tail_ || tail_->stillThere());
}

// Writes a whole file under a name of its own first, so that an attempt cut short is simply
// made again, and nothing already named is written over part-way.
bool Journal::makeSegment(const std::string& name, const std::string* bytes, JournalFile* copyOf,
                          uint64_t size, std::unique_ptr<JournalFile>& made) {
    const std::string temp = name + ".new";
    auto file = folder_.open(temp, true);
    if (!file || !file->truncate(0)) return fail("cannot create " + temp);
    std::string chunk;
    for (uint64_t at = 0; at < size; at += chunk.size()) {
        if (bytes) {
            chunk.assign(*bytes, static_cast<size_t>(at), kReadChunk);
        } else {
            chunk.resize(static_cast<size_t>(std::min<uint64_t>(kReadChunk, size - at)));
            if (copyOf->readAt(at, &chunk[0], chunk.size()) != static_cast<int64_t>(chunk.size()))
                return fail("cannot read the open " + name);
        }
        if (!file->writeAt(at, chunk.data(), chunk.size())) return fail("cannot write " + temp);
    }
    if (!file->sync()) return fail("cannot sync " + temp);
    file.reset();
    if (!folder_.rename(temp, name)) return fail("cannot rename " + temp);
    made = folder_.open(name, false);
    return made || fail("cannot open " + name);
}

// The folder went (deleted, or replaced by another) with every file in it. A new one gets what
// a first start gives it (the sent file with both slots), then the unsent lines of the older
// segments that memory still holds, then the segment being written, read through its open
// file. The unsent lines nothing holds any more are lost: counted and said.
bool Journal::remake() {
    if (!folder_.create()) return fail("cannot create " + folder_.path());
    auto sent = folder_.open(kSentFile, true);
    char slots[2 * kSentSlot];
    putSlot(slots, sentSeq_);
    putSlot(slots + kSentSlot, sentSeq_);
    if (!sent || !sent->truncate(0) || !sent->writeAt(0, slots, sizeof slots) || !sent->sync())
        return fail(std::string("cannot write ") + kSentFile);
    const uint64_t tailFirst = tail_ ? segments_.back().firstSeq : UINT64_MAX;
    uint64_t unsent = 0;
    for (const Segment& s : segments_)
        if (s.firstSeq < tailFirst && s.lastSeq > sentSeq_)
            unsent += s.lastSeq - std::max(s.firstSeq - 1, sentSeq_);
    std::deque<Segment> made;
    uint64_t held = 0;
    Segment run;
    std::string bytes;
    const auto endRun = [&]() {
        std::unique_ptr<JournalFile> file;
        if (bytes.empty()) return true;
        if (!makeSegment(segmentName(run.firstSeq), &bytes, nullptr, bytes.size(), file))
            return false;
        run.size = run.readable = bytes.size();
        made.push_back(run);
        bytes.clear();
        return true;
    };
    for (size_t i = 0; heldSeqs_ && i < heldSeqs_->size(); ++i) {
        const uint64_t seq = (*heldSeqs_)[i];
        if (seq <= sentSeq_ || seq >= tailFirst || seq > writtenSeq_) continue;
        if (!bytes.empty() && seq != run.lastSeq + 1 && !endRun()) return false;
        if (bytes.empty()) run = Segment{seq, seq, 0, 0, false, {}};
        encode(bytes, seq, (*heldLines_)[i]);
        run.lastSeq = seq;
        ++held;
    }
    if (!endRun()) return false;
    std::unique_ptr<JournalFile> tail;
    if (tail_) {
        Segment s = segments_.back();
        // Bytes a failed flush may have lost are written again from memory instead (rewrite_).
        const uint64_t size = rewrite_ ? unsyncedAt_ : s.size;
        if (!makeSegment(segmentName(s.firstSeq), nullptr, tail_.get(), size, tail)) return false;
        made.push_back(s);
    }
    if (!folder_.sync()) return fail("cannot sync " + folder_.path());
    segments_ = std::move(made);
    bytes_ = 0;
    for (const Segment& s : segments_) bytes_ += s.size;
    tail_ = std::move(tail);
    tailSynced_ = !rewrite_;  // a failed flush's bytes are written again all the same
    sentFile_ = std::move(sent);
    sentWritten_ = sentSeq_;
    sentSynced_ = true;
    ackedFile_.reset();  // made anew by the next writeOut
    if (ackedSeq_) ackedWritten_ = *ackedSeq_ - 1;
    gone_ = false;
    ++generation_;
    reporter_->note("Spool: " + folder_.path() +
                    " made anew; the lines not sent are written to it again");
    if (unsent > held) {
        reporter_->note("Spool: " + std::to_string(unsent - held) +
                        " lines not sent went with the deleted folder and are lost");
        reporter_->lost(unsent - held);
    }
    return true;
}

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

void putSlot(char* slot, uint64_t seq, uint32_t magic) {
    put64(slot, seq);
    put32(slot + 8, crc32c(0, slot, 8));
    put32(slot + 12, magic);
}

std::optional<uint64_t> readSlots(const char* slots, int64_t got, uint32_t magic) {
    std::optional<uint64_t> place;
    for (int64_t at = 0; at + static_cast<int64_t>(kSentSlot) <= got; at += kSentSlot) {
        const char* s = slots + at;
        if (get32(s + 12) == magic && get32(s + 8) == crc32c(0, s, 8))
            place = std::max(place.value_or(0), get64(s));
    }
    return place;
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

}  // namespace korrin
