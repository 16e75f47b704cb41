// What every platform's spool folder must do, checked on a real folder by each platform's
// test: 64-bit offsets (a 32-bit program included), files that stay put, and the journal on top.
#pragma once

#include <gtest/gtest.h>

#include "server/net/journal.h"
#include "server/net/testing/journal_notes.h"

namespace korrin {

inline void checkFolderContract(JournalFolder& folder) {
    ASSERT_TRUE(folder.create()) << folder.lastError();
    {
        auto f = folder.open("big", true);
        ASSERT_TRUE(f) << folder.lastError();
        // Past 2 GiB and 4 GiB: offsets that a 32-bit file position would wrap.
        for (const uint64_t at : {(uint64_t{1} << 31) + 5, (uint64_t{1} << 32) + 7}) {
            ASSERT_TRUE(f->writeAt(at, "abc", 3)) << folder.lastError();
            char back[4] = {};
            EXPECT_EQ(f->readAt(at, back, 4), 3);
            EXPECT_STREQ(back, "abc");
            uint64_t size = 0;
            EXPECT_TRUE(f->size(size));
            EXPECT_EQ(size, at + 3);
        }
        ASSERT_TRUE(f->truncate((uint64_t{1} << 31) + 6));
        uint64_t size = 0;
        EXPECT_TRUE(f->size(size));
        EXPECT_EQ(size, (uint64_t{1} << 31) + 6);
        EXPECT_TRUE(f->sync()) << folder.lastError();
        // A file still open can be deleted: a reader may hold a segment the send step frees.
        EXPECT_TRUE(f->stillThere());  // a wrong "gone" would make the folder anew for nothing
        EXPECT_TRUE(folder.remove("big")) << folder.lastError();
    }
    EXPECT_TRUE(folder.stillThere());
    uint64_t free = 0;
    EXPECT_TRUE(folder.freeBytes(free)) << folder.lastError();
    EXPECT_GT(free, 0u);
    EXPECT_FALSE(folder.open("missing", false));
    EXPECT_FALSE(folder.lastError().empty());
    NoteList notes;
    {
        Journal j(folder, 4096);
        ASSERT_TRUE(j.open(notes)) << j.error();
        for (int i = 0; i < 500; ++i) j.append("line " + std::to_string(i));
        ASSERT_TRUE(j.sync()) << j.error();
        j.markSent(200);
        j.release(201);
        ASSERT_TRUE(j.sync()) << j.error();
    }
    Journal j(folder, 4096);
    ASSERT_TRUE(j.open(notes)) << j.error();
    EXPECT_TRUE(notes.empty());
    EXPECT_EQ(j.sentSeq(), 200u);
    auto r = j.reader(201);
    std::string line;
    uint64_t seq = 0;
    ASSERT_TRUE(r.next(line, seq));
    EXPECT_EQ(line, "line 200");
    std::vector<std::string> names;
    ASSERT_TRUE(folder.list(names));
    EXPECT_LT(names.size(), 10u);  // sent segments went
}

}  // namespace korrin
