#include "server/net/journal.h"

#include <gtest/gtest.h>

#include <random>

#include "server/net/crc32c.h"
#include "server/net/testing/journal_notes.h"
#include "server/net/testing/memory_folder.h"

namespace korrin {
namespace {

std::string lineOf(uint64_t seq) {
    return "line " + std::to_string(seq) + std::string(seq % 7, 'x');
}

// Appends the lines first..last and writes them out.
void fill(Journal& j, uint64_t first, uint64_t last) {
    for (uint64_t s = first; s <= last; ++s) ASSERT_EQ(j.append(lineOf(s)), s);
    ASSERT_TRUE(j.writeOut()) << j.error();
}

// Every line the journal gives from `from` on, as "seq:line".
std::vector<std::string> readAll(Journal& j, uint64_t from) {
    std::vector<std::string> out;
    auto r = j.reader(from);
    std::string line;
    uint64_t seq;
    while (r.next(line, seq)) out.push_back(std::to_string(seq) + ":" + line);
    return out;
}

std::vector<std::string> expected(uint64_t first, uint64_t last) {
    std::vector<std::string> out;
    for (uint64_t s = first; s <= last; ++s) out.push_back(std::to_string(s) + ":" + lineOf(s));
    return out;
}

TEST(Crc32c, KnownValues) {
    EXPECT_EQ(crc32c(0, "123456789", 9), 0xE3069283u);
    const std::string zeros(32, '\0');
    EXPECT_EQ(crc32c(0, zeros.data(), zeros.size()), 0x8A9136AAu);
    // In pieces as in one go.
    EXPECT_EQ(crc32c(crc32c(0, "12345", 5), "6789", 4), 0xE3069283u);
}

TEST(Journal, RollsOverReleasesSentSegmentsAndResumesAfterReopen) {
    MemoryFolder folder;
    NoteList notes;
    {
        Journal j(folder, 256);
        ASSERT_TRUE(j.open(notes));
        fill(j, 1, 60);
        EXPECT_GT(j.segments(), 5u);
        for (const auto& f : folder.files) EXPECT_LE(f.second->size(), 256u) << f.first;
        j.markSent(40);
        j.release(36);  // a replay still wants 36 on
        EXPECT_EQ(readAll(j, 36), expected(36, 60));
        EXPECT_LE(j.firstSeq(), 36u);
        EXPECT_GT(j.firstSeq(), 1u);
        ASSERT_TRUE(j.sync());
    }
    Journal j(folder, 256);
    ASSERT_TRUE(j.open(notes));
    EXPECT_TRUE(notes.empty());
    EXPECT_EQ(j.sentSeq(), 40u);
    EXPECT_EQ(j.lastSeq(), 60u);
    EXPECT_EQ(readAll(j, 41), expected(41, 60));
    fill(j, 61, 70);
    EXPECT_EQ(readAll(j, 55), expected(55, 70));
    j.markSent(70);
    j.release(71);
    EXPECT_EQ(j.segments(), 1u);  // the one being written stays
}

TEST(Journal, SequencesPastTwoToTheThirtyTwo) {
    MemoryFolder folder;
    const uint64_t first = (uint64_t{1} << 32) - 3;
    std::string seg;
    for (uint64_t s = first; s < first + 3; ++s) Journal::encode(seg, s, lineOf(s));
    folder.files[Journal::segmentName(first)] = std::make_shared<std::string>(seg);
    NoteList notes;
    Journal j(folder, 4096);
    ASSERT_TRUE(j.open(notes));
    EXPECT_EQ(j.sentSeq(), first - 1);
    fill(j, first + 3, first + 6);
    EXPECT_EQ(readAll(j, first), expected(first, first + 6));
}

// Damage at random places of the newest segment. A kill or a power cut leaves only a record
// written in part, or zeros, at the end: that is cut. Any other damage costs only the record it
// hits; the ones after it stay, and no number is given twice.
TEST(Journal, DamageInTheNewestSegmentCostsOnlyTheRecordItHitsATornEndIsCut) {
    std::mt19937 rnd(7);
    for (int round = 0; round < 300; ++round) {
        MemoryFolder folder;
        NoteList notes;
        {
            Journal j(folder, 1 << 20);
            ASSERT_TRUE(j.open(notes));
            fill(j, 1, 40);
        }
        std::string& seg = *folder.files[Journal::segmentName(1)];
        std::vector<size_t> ends;  // where each record ends
        for (size_t at = 0; at < seg.size(); at += Journal::decode(seg.substr(at)).size)
            ends.push_back(at + Journal::decode(seg.substr(at)).size);
        const size_t at = rnd() % seg.size();
        const uint64_t hit =
            static_cast<uint64_t>(std::upper_bound(ends.begin(), ends.end(), at) - ends.begin()) +
            1;
        std::vector<std::string> kept = expected(1, hit - 1);
        uint64_t lost = 1;
        switch (round % 3) {
            case 0:  // torn
                seg.resize(at);
                lost = at == 0 || (hit > 1 && ends[hit - 2] == at) ? 0 : 1;
                break;
            case 1: {  // a flipped bit
                seg[at] = static_cast<char>(seg[at] ^ (1 << (rnd() % 8)));
                const auto after = expected(hit + 1, 40);
                kept.insert(kept.end(), after.begin(), after.end());
                break;
            }
            default:  // zeros where the last records were
                std::fill(seg.begin() + static_cast<std::ptrdiff_t>(at), seg.end(), '\0');
                break;
        }
        SCOPED_TRACE("round " + std::to_string(round) + " at " + std::to_string(at));
        Journal j(folder, 1 << 20);
        ASSERT_TRUE(j.open(notes));
        EXPECT_EQ(readAll(j, 1), kept);
        EXPECT_EQ(j.missingAtOpen(), lost);
        // New lines come after every number seen, readable after another reopen.
        const uint64_t next = round % 3 == 1 && hit < 40 ? 41 : hit;
        fill(j, next, next + 1);
        Journal again(folder, 1 << 20);
        ASSERT_TRUE(again.open(notes));
        const auto more = expected(next, next + 1);
        kept.insert(kept.end(), more.begin(), more.end());
        EXPECT_EQ(readAll(again, 1), kept);
    }
}

TEST(Journal, DamageInAnOlderSegmentCostsOnlyTheRecordItHitsAndKeepsTheBytes) {
    MemoryFolder folder;
    NoteList notes;
    {
        Journal j(folder, 128 * 1024);
        ASSERT_TRUE(j.open(notes));
        for (uint64_t s = 1; s <= 40; ++s)
            j.append(std::string(10000, static_cast<char>('a' + s % 26)));
        ASSERT_TRUE(j.writeOut());
        ASSERT_GE(j.segments(), 3u);
    }
    const std::string damaged = folder.files.begin()->first;
    (*folder.files.begin()->second)[10016 + 20] ^= 1;  // inside the second record's line
    folder.files[damaged + ".bad"] = std::make_shared<std::string>("an earlier one");
    Journal j(folder, 128 * 1024);
    ASSERT_TRUE(j.open(notes));
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find(damaged + " has a bad checksum at byte 10016; bytes up to 20032 are "
                                      "skipped and kept, line 2 is missing"),
              std::string::npos)
        << notes[0];
    EXPECT_EQ(j.missingAtOpen(), 1u);
    uint64_t seq;
    std::string line;
    auto r = j.reader(1);
    for (uint64_t want : {1, 3, 4}) {
        ASSERT_TRUE(r.next(line, seq));
        EXPECT_EQ(seq, want);
    }
    j.markSent(40);
    j.release(41);
    EXPECT_EQ(*folder.files[damaged + ".bad"], "an earlier one");
    EXPECT_TRUE(folder.files.count(damaged + ".bad.1"));
    EXPECT_FALSE(folder.files.count(damaged));
}

TEST(Journal, AFullDiskKeepsTheLinesAndWritesThemOnceThereIsRoom) {
    MemoryFolder folder;
    NoteList notes;
    Journal j(folder, 4096);
    ASSERT_TRUE(j.open(notes));
    fill(j, 1, 10);
    folder.spaceLeft = 100;
    for (uint64_t s = 11; s <= 200; ++s) j.append(lineOf(s));
    EXPECT_FALSE(j.writeOut());
    EXPECT_NE(j.error().find("No space left"), std::string::npos) << j.error();
    EXPECT_FALSE(j.sync());
    EXPECT_LT(j.writtenSeq(), 200u);
    folder.spaceLeft = UINT64_MAX;
    ASSERT_TRUE(j.sync()) << j.error();
    EXPECT_EQ(j.syncedSeq(), 200u);
    EXPECT_EQ(j.error(), "");  // the failure is over
    Journal again(folder, 4096);
    ASSERT_TRUE(again.open(notes));
    EXPECT_TRUE(notes.empty());
    EXPECT_EQ(readAll(again, 1), expected(1, 200));
}

// The sent file's slots are made with the folder, so the sent place moves on a full disk too;
// and what was written before a write failed is flushed all the same.
TEST(Journal, AFullDiskStillFlushesWhatWasWrittenAndMovesTheSentPlace) {
    MemoryFolder folder;
    NoteList notes;
    Journal j(folder, 4096);
    ASSERT_TRUE(j.open(notes));
    EXPECT_EQ(folder.files[Journal::kSentFile]->size(), 32u);
    fill(j, 1, 10);
    folder.spaceLeft = 0;
    j.append(lineOf(11));
    j.markSent(10);
    EXPECT_FALSE(j.sync());
    EXPECT_EQ(j.syncedSeq(), 10u);
    Journal again(folder, 4096);
    ASSERT_TRUE(again.open(notes));
    EXPECT_EQ(again.sentSeq(), 10u);
}

// A failed flush may have lost what it was to keep: those lines are written again from memory
// and count as flushed only after a flush that works.
TEST(Journal, AFailedFlushWritesTheLinesAgain) {
    MemoryFolder folder;
    folder.dropUnsynced = true;
    NoteList notes;
    Journal j(folder, 1 << 20);
    ASSERT_TRUE(j.open(notes));
    fill(j, 1, 20);
    folder.failingSyncs = 1;
    EXPECT_FALSE(j.sync());
    EXPECT_EQ(j.syncedSeq(), 0u);
    ASSERT_TRUE(j.sync()) << j.error();
    EXPECT_EQ(j.syncedSeq(), 20u);
    Journal again(folder, 1 << 20);
    ASSERT_TRUE(again.open(notes));
    EXPECT_EQ(readAll(again, 1), expected(1, 20));
}

// A folder deleted in use: the flush that finds it out fails and nothing counts as flushed;
// once it can be made again it gets the sent place, the unsent lines memory holds and the open
// segment, and a reader goes on in it. The unsent lines nothing held are counted lost.
TEST(Journal, AFolderDeletedInUseIsMadeAnewWithWhatIsStillHeld) {
    MemoryFolder folder;
    NoteList notes;
    Journal j(folder, 256);
    ASSERT_TRUE(j.open(notes));
    fill(j, 1, 60);
    j.markSent(10);
    LineQueue lines;
    std::deque<uint64_t> seqs;
    for (uint64_t s = 11; s <= 20; ++s) {
        lines.push_back(lineOf(s));
        seqs.push_back(s);
    }
    j.holdLines(&lines, &seqs);
    ASSERT_TRUE(j.sync()) << j.error();
    const uint64_t tailFirst = std::stoull(std::prev(folder.files.find(Journal::kSentFile))->first);
    auto r = j.reader(tailFirst);
    std::string line;
    uint64_t seq = 0;
    ASSERT_TRUE(r.next(line, seq));
    folder.deleteFolder();
    folder.broken = true;  // it cannot be made again yet
    for (uint64_t s = 61; s <= 70; ++s) j.append(lineOf(s));
    EXPECT_FALSE(j.sync());
    EXPECT_EQ(j.error(), "mem was deleted or replaced while in use");
    EXPECT_EQ(j.syncedSeq(), 10u);
    EXPECT_FALSE(j.sync());
    folder.broken = false;
    ASSERT_TRUE(j.sync()) << j.error();
    EXPECT_EQ(j.syncedSeq(), 70u);
    EXPECT_EQ(notes.lines, tailFirst - 21);
    EXPECT_EQ(notes.size(), 2u);
    std::vector<std::string> rest;
    while (r.next(line, seq)) rest.push_back(std::to_string(seq) + ":" + line);
    EXPECT_EQ(rest, expected(tailFirst + 1, 70));
    Journal again(folder, 256);
    ASSERT_TRUE(again.open(notes));
    EXPECT_EQ(again.sentSeq(), 10u);
    std::vector<std::string> all = expected(11, 20), tail = expected(tailFirst, 70);
    all.insert(all.end(), tail.begin(), tail.end());
    EXPECT_EQ(readAll(again, 11), all);
}

// A disk the tail segment filled: once its lines are sent it goes though lines wait, and they
// start a new segment. Segments are a quarter of the free space at most.
TEST(Journal, ASentTailGoesWhileLinesWaitSoAFullDiskGetsRoomBack) {
    MemoryFolder folder;
    folder.spaceLeft = 1 << 20;
    NoteList notes;
    Journal j(folder, 64 << 20);
    ASSERT_TRUE(j.open(notes));
    EXPECT_EQ(j.segmentBytes(), 256u * 1024);
    fill(j, 1, 10);
    folder.spaceLeft = 0;
    j.append(lineOf(11));
    EXPECT_FALSE(j.writeOut());
    j.markSent(10);
    j.release(11, true);
    ASSERT_TRUE(j.sync()) << j.error();
    EXPECT_FALSE(folder.files.count(Journal::segmentName(1)));
    Journal again(folder, 64 << 20);
    ASSERT_TRUE(again.open(notes));
    EXPECT_EQ(readAll(again, 1), expected(11, 11));
}

// A segment that cannot be opened, or whose size cannot be learnt, is set aside; the others
// are read, and what it held counts as lost.
TEST(Journal, ASegmentThatCannotBeReadIsSetAsideAndTheOthersAreUsed) {
    MemoryFolder folder;
    NoteList notes;
    {
        Journal j(folder, 256);
        ASSERT_TRUE(j.open(notes));
        fill(j, 1, 40);
    }
    std::vector<std::string> segs;
    for (const auto& f : folder.files)
        if (f.first != Journal::kSentFile) segs.push_back(f.first);
    ASSERT_GE(segs.size(), 3u);
    folder.unopenable = {segs.front()};
    folder.sizeless = {segs.back()};
    Journal j(folder, 256);
    ASSERT_TRUE(j.open(notes)) << j.error();
    EXPECT_TRUE(folder.files.count(segs.front() + ".bad"));
    EXPECT_TRUE(folder.files.count(segs.back() + ".bad"));
    const uint64_t from = std::stoull(segs[1]), to = std::stoull(segs.back()) - 1;
    EXPECT_EQ(readAll(j, 1), expected(from, to));
    EXPECT_EQ(j.missingAtOpen(), from - 1 + 1);  // the oldest's lines, one of the newest at least
}

TEST(Journal, AFolderThatCannotBeUsedSaysWhy) {
    MemoryFolder folder;
    folder.broken = true;
    NoteList notes;
    Journal j(folder, 4096);
    EXPECT_FALSE(j.open(notes));
    EXPECT_EQ(j.error(), "cannot create mem: Input/output error");
}

}  // namespace
}  // namespace korrin

namespace korrin {
namespace {

TEST(Journal, TheAckedPlaceIsKeptInTwoSlotsAndAFolderWithoutItStillOpens) {
    MemoryFolder folder;
    NoteList notes;
    {
        Journal j(folder, 256);
        ASSERT_TRUE(j.open(notes));
        fill(j, 1, 30);
        j.markSent(30);
        EXPECT_FALSE(j.ackedSeq());  // no file until the first mark: an earlier build's folder
        j.markAcked(12);
        j.markAcked(14);
        j.markAcked(10);  // never backwards
        j.release(13);    // what the broker still owes stays
        ASSERT_TRUE(j.sync());
    }
    ASSERT_TRUE(folder.files.count("acked"));
    // A torn write of the newer slot leaves the place before it.
    (*folder.files["acked"])[16 + 3] ^= 1;
    Journal j(folder, 256);
    ASSERT_TRUE(j.open(notes));
    EXPECT_EQ(j.ackedSeq(), std::optional<uint64_t>(12));
    EXPECT_EQ(readAll(j, 13), expected(13, 30));
    folder.files.erase("acked");
    Journal older(folder, 256);
    ASSERT_TRUE(older.open(notes));
    EXPECT_FALSE(older.ackedSeq());
}

}  // namespace
}  // namespace korrin
