#include "server/net/journal.h"

#include <gtest/gtest.h>

#include <random>

#include "server/net/crc32c.h"
#include "server/net/memory_folder.h"

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
    std::vector<std::string> notes;
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
    std::vector<std::string> notes;
    Journal j(folder, 4096);
    ASSERT_TRUE(j.open(notes));
    EXPECT_EQ(j.sentSeq(), first - 1);
    fill(j, first + 3, first + 6);
    EXPECT_EQ(readAll(j, first), expected(first, first + 6));
}

// Damage of every kind at random places of the newest segment: what reopening keeps is exactly
// the records that lie whole before the damage.
TEST(Journal, ATornOrFlippedTailKeepsExactlyTheGoodPrefix) {
    std::mt19937 rnd(7);
    for (int round = 0; round < 300; ++round) {
        MemoryFolder folder;
        std::vector<std::string> notes;
        {
            Journal j(folder, 1 << 20);
            ASSERT_TRUE(j.open(notes));
            fill(j, 1, 40);
        }
        std::string& seg = *folder.files.begin()->second;
        std::vector<size_t> ends;  // where each record ends
        for (size_t at = 0; at < seg.size(); at += Journal::decode(seg.substr(at)).size)
            ends.push_back(at + Journal::decode(seg.substr(at)).size);
        const size_t at = rnd() % seg.size();
        if (round % 2)
            seg.resize(at);
        else
            seg[at] = static_cast<char>(seg[at] ^ (1 << (rnd() % 8)));
        const uint64_t kept =
            static_cast<uint64_t>(std::upper_bound(ends.begin(), ends.end(), at) - ends.begin());
        Journal j(folder, 1 << 20);
        ASSERT_TRUE(j.open(notes));
        EXPECT_EQ(readAll(j, 1), expected(1, kept)) << "round " << round << " at " << at;
        // New lines follow the good prefix, readable after another reopen.
        fill(j, kept + 1, kept + 2);
        Journal again(folder, 1 << 20);
        ASSERT_TRUE(again.open(notes));
        EXPECT_EQ(readAll(again, 1), expected(1, kept + 2)) << "round " << round;
    }
}

TEST(Journal, DamageInAnOlderSegmentSkipsToTheNextAndKeepsTheBytes) {
    MemoryFolder folder;
    std::vector<std::string> notes;
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
    Journal j(folder, 128 * 1024);
    ASSERT_TRUE(j.open(notes));
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_NE(notes[0].find(damaged + " has a bad checksum at byte 10016"), std::string::npos)
        << notes[0];
    EXPECT_NE(notes[1].find("lines 2 to 13 are missing"), std::string::npos) << notes[1];
    uint64_t seq;
    std::string line;
    auto r = j.reader(1);
    ASSERT_TRUE(r.next(line, seq));
    EXPECT_EQ(seq, 1u);
    ASSERT_TRUE(r.next(line, seq));
    EXPECT_EQ(seq, 14u);
    j.markSent(40);
    j.release(41);
    EXPECT_TRUE(folder.files.count(damaged + ".bad"));
    EXPECT_FALSE(folder.files.count(damaged));
}

TEST(Journal, AFullDiskKeepsTheLinesAndWritesThemOnceThereIsRoom) {
    MemoryFolder folder;
    std::vector<std::string> notes;
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
    Journal again(folder, 4096);
    ASSERT_TRUE(again.open(notes));
    EXPECT_TRUE(notes.empty());
    EXPECT_EQ(readAll(again, 1), expected(1, 200));
}

TEST(Journal, AFolderThatCannotBeUsedSaysWhy) {
    MemoryFolder folder;
    folder.broken = true;
    std::vector<std::string> notes;
    Journal j(folder, 4096);
    EXPECT_FALSE(j.open(notes));
    EXPECT_EQ(j.error(), "cannot create mem: Input/output error");
}

}  // namespace
}  // namespace korrin
