// The spool: every line the relay reads is appended to segment files before it can be sent,
// and the send step's place is kept beside them, so that a restart sends every line read
// after the last one sent. Each record is [CRC-32C][length][sequence][bytes], little-endian;
// the CRC covers length, sequence and bytes. Segments are named by their first sequence and
// hold at most segmentBytes, so offsets inside one stay small on every platform.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/net/journal_files.h"
#include "server/net/journal_format.h"
#include "server/net/line_queue.h"

namespace korrin {

// Told what the journal found or did that its owner logs (one line each), and the lines it
// lost: damaged, cut or taken away at open, or gone with a folder deleted in use.
class JournalReporter {
  public:
    virtual ~JournalReporter() = default;
    virtual void note(const std::string& line) = 0;
    virtual void lost(uint64_t lines) = 0;
};

class Journal {
  public:
    static constexpr uint64_t kSegmentBytes = 64u * 1024 * 1024;
    static constexpr uint64_t kMinSegmentBytes = 64u * 1024;
    static constexpr size_t kHeaderBytes = journal_format::kHeaderBytes;
    static constexpr size_t kMaxLine = journal_format::kMaxLine;
    static constexpr const char* kSentFile = journal_format::kSentFile;

    // Segments hold segmentBytes at most, and never more than a quarter of what the volume had
    // free at open (kMinSegmentBytes at least), so that a small volume is not filled by one.
    explicit Journal(JournalFolder& folder, uint64_t segmentBytes = kSegmentBytes);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Reads what the folder holds. A torn tail (an incomplete last record of the newest
    // segment, or zeros to its end) is cut; other damage is skipped up to the next sound record
    // and the lines in it are missing. Nothing that could not be read is deleted: it is renamed
    // ".bad" once its lines are no longer needed (a file that cannot be opened at once). The
    // next sequence is above every one seen. Each thing done and every line missing is told
    // to the reporter, which hears from then on what happens to the folder in use. False when
    // the folder cannot be used (error()).
    bool open(JournalReporter& reporter);
    bool isOpen() const { return open_; }
    // Why the last write, flush or read failed; cleared once a write and a flush succeed.
    const std::string& error() const { return error_; }
    uint64_t segmentBytes() const { return segmentBytes_; }
    // What the volume had free at open; UINT64_MAX when unknown.
    uint64_t freeAtOpen() const { return freeAtOpen_; }

    // The oldest line kept (lastSeq() + 1 when none), the newest appended (0 before the
    // first), the newest written to the files, the newest on stable storage, the last sent.
    uint64_t firstSeq() const;
    uint64_t lastSeq() const { return lastSeq_; }
    uint64_t writtenSeq() const { return writtenSeq_; }
    uint64_t syncedSeq() const { return syncedSeq_; }
    uint64_t sentSeq() const { return sentSeq_; }
    // The last line the broker acknowledged; none when the folder has no acked file (nothing
    // marked it yet, or an earlier build wrote the spool).
    std::optional<uint64_t> ackedSeq() const { return ackedSeq_; }
    uint64_t bytes() const { return bytes_ + pendingBytes_; }  // on disk and still to write
    size_t segments() const { return segments_.size(); }
    // Lines the last open found missing: damaged, cut, unreadable, or taken away by hand.
    uint64_t missingAtOpen() const { return missingAtOpen_; }

    // Takes the line as the next sequence; it reaches the files with the next writeOut.
    uint64_t append(std::string_view line);
    // Hands the appended lines to the system: from then on a killed process keeps them. On a
    // failure the lines stay here and the next call writes them again.
    bool writeOut();
    // writeOut, then puts the lines and the sent place on stable storage: what was written is
    // flushed even when a later write failed. Lines whose flush failed are written again from
    // memory before they count as flushed. A folder found deleted or replaced fails it like a
    // write; the next writeOut makes the folder anew (see remake).
    bool sync();
    // Whether sync has anything to do.
    bool unsynced() const {
        return !pending_.empty() || !tailSynced_ || !sentSynced_ || sentWritten_ != sentSeq_ ||
               !ackedSynced_ || (ackedSeq_ && ackedWritten_ != *ackedSeq_);
    }
    // The send step has sent every line up to seq; written with the next writeOut.
    void markSent(uint64_t seq);
    // The broker has acknowledged every line up to seq: kept as the sent place is, in the acked
    // file (made by the first mark), under the same flushes.
    void markAcked(uint64_t seq);
    // Deletes the segments whose lines are all sent and older than keepFrom; the one being
    // written only with evenTheTail (lines waiting for it then go to a new one). A segment with
    // bytes that could not be read is renamed ".bad" instead.
    void release(uint64_t keepFrom, bool evenTheTail = false);

    // Reads written lines in order from a sequence on.
    class Reader {
      public:
        Reader() = default;
        // The next line, and its sequence; false when no written line follows (yet), or on a
        // read error (then error() of the journal says why and the reader stays put).
        bool next(std::string& line, uint64_t& seq);
        uint64_t position() const { return nextSeq_; }  // the sequence asked for next

      private:
        friend class Journal;
        Reader(Journal& j, uint64_t from) : journal_(&j), nextSeq_(from) {}
        Journal* journal_ = nullptr;
        uint64_t nextSeq_ = 0;
        uint64_t generation_ = 0;    // of the folder the file below was opened in
        uint64_t segmentFirst_ = 0;  // the segment the file below belongs to
        std::unique_ptr<JournalFile> file_;
        uint64_t offset_ = 0;  // where the next record to read begins
        std::string buffer_;   // bytes of the file from bufferAt_
        uint64_t bufferAt_ = 0;
    };
    Reader reader(uint64_t fromSeq) { return Reader(*this, fromSeq); }

    // Lines the journal's user holds in memory (in order, with their sequences): should the
    // folder be deleted, those not yet sent are written again to the new one.
    void holdLines(const LineQueue* lines, const std::deque<uint64_t>* seqs) {
        heldLines_ = lines;
        heldSeqs_ = seqs;
    }
    // The segment's file name for its first sequence.
    static std::string segmentName(uint64_t firstSeq);
    // One record as it is stored.
    static void encode(std::string& out, uint64_t seq, std::string_view line);
    // What a record at the front of bytes is.
    struct Decoded {
        enum Kind { kRecord, kShort, kBadLength, kBadCrc } kind;
        uint64_t seq = 0;
        std::string_view line;
        size_t size = 0;  // of the whole record
    };
    static Decoded decode(std::string_view bytes);

  private:
    struct Gap {
        uint64_t from, to;  // damaged bytes that readers skip
    };
    struct Segment {
        uint64_t firstSeq = 0;
        uint64_t lastSeq = 0;   // firstSeq - 1 while it holds none
        uint64_t readable = 0;  // where the last sound record ends
        uint64_t size = 0;      // bytes in the file
        bool damaged = false;   // some of its bytes could not be read
        std::vector<Gap> gaps;
    };
    struct Pending {
        uint64_t segmentFirst;  // the segment these records go to
        uint64_t firstSeq, lastSeq;
        std::string bytes;
    };
    // What scan found after the last sound record.
    enum class Tail { kNone, kTorn, kDamaged };
    Tail scan(Segment& s, JournalFile& file, uint64_t sentFloor);
    bool setAside(const std::string& name, std::string& to);
    bool openTail(uint64_t firstSeq);
    bool syncTail();
    bool writeSent();
    bool writeAcked();
    bool stillThere();
    bool remake();
    bool makeSegment(const std::string& name, const std::string* bytes, JournalFile* copyOf,
                     uint64_t size, std::unique_ptr<JournalFile>& made);
    bool fail(const std::string& what);
    const Segment* segmentOf(uint64_t seq) const;

    JournalFolder& folder_;
    const uint64_t maxSegmentBytes_;
    uint64_t segmentBytes_;
    uint64_t freeAtOpen_ = UINT64_MAX;
    bool open_ = false;
    std::string error_;
    std::deque<Segment> segments_;
    std::unique_ptr<JournalFile> tail_;  // the file of segments_.back() while appending to it
    std::unique_ptr<JournalFile> sentFile_;
    std::deque<Pending> pending_;
    std::string spare_;  // a written batch's buffer, kept for the next: no growing anew each time
    uint64_t pendingBytes_ = 0;
    uint64_t missingAtOpen_ = 0;
    uint64_t heldAtOpen_ = 0;  // sound records the open found after the sent place
    // The tail's bytes from unsyncedAt_ on, written since its last good flush: kept to be
    // written again should a flush fail (rewrite_), as the system may have dropped them.
    std::string unsynced_;
    uint64_t unsyncedAt_ = 0;
    bool rewrite_ = false;
    uint64_t bytes_ = 0;
    uint64_t lastSeq_ = 0, writtenSeq_ = 0, syncedSeq_ = 0, sentSeq_ = 0;
    uint64_t sentWritten_ = 0;  // the sent place as last written to its file
    uint64_t sentWrites_ = 0;   // picks the slot of the sent file to write next
    bool tailSynced_ = true;
    bool sentSynced_ = true;
    std::unique_ptr<JournalFile> ackedFile_;
    std::optional<uint64_t> ackedSeq_;
    uint64_t ackedWritten_ = 0, ackedWrites_ = 0;
    bool ackedSynced_ = true;
    bool ackedMade_ = false;  // the file is new: the folder is flushed with it
    // Where the next appended record goes: that segment and its size once pending is written.
    uint64_t nextSegment_ = 0, nextSegmentSize_ = 0;
    bool nextSegmentOpen_ = false;
    // The folder was found deleted or replaced: nothing counts as written until it is made anew.
    bool gone_ = false;
    uint64_t generation_ = 0;  // counts the folders made anew, so that readers reopen their files
    JournalReporter* reporter_ = nullptr;
    const LineQueue* heldLines_ = nullptr;
    const std::deque<uint64_t>* heldSeqs_ = nullptr;
};

}  // namespace korrin
