#include "server/net/line_queue.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace korrin {
namespace {

// Against a plain deque, across the store's blocks (about 430 KiB a round) as they come and go.
TEST(LineQueue, HoldsWhatADequeHoldsAcrossCompaction) {
    LineQueue q;
    std::deque<std::string> want;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 9000; ++i) {
            const std::string line(static_cast<size_t>(i % 97), static_cast<char>('a' + i % 26));
            q.push_back(line);
            want.push_back(line);
        }
        for (int i = 0; i < 8000 + round * 500; ++i) {
            ASSERT_EQ(q.front(), want.front()) << round << " " << i;
            q.pop_front();
            want.pop_front();
        }
        ASSERT_EQ(q.size(), want.size());
        size_t bytes = 0;
        for (size_t i = 0; i < want.size(); ++i) {
            ASSERT_EQ(q[i], want[i]);
            bytes += want[i].size();
        }
        EXPECT_EQ(q.bytes(), bytes);
    }
    while (!q.empty()) q.pop_front();
    EXPECT_EQ(q.bytes(), 0u);
}

// Blocks from the platform's memory, of its size (a longer line gets one of its own), each given
// back once its lines have left.
TEST(LineQueue, TakesItsBlocksFromThePlatformAndGivesEachBack) {
    static int taken, given;
    taken = given = 0;
    BlockMemory small;
    small.blockBytes = 100;
    small.take = [](size_t bytes) {
        ++taken;
        return new char[bytes];
    };
    small.give = [](char* block) {
        ++given;
        delete[] block;
    };
    LineQueue::useMemory(small);
    {
        LineQueue q;
        const std::vector<std::string> lines = {std::string(60, 'a'), std::string(60, 'b'),
                                                std::string(250, 'c'), "d"};
        for (const std::string& line : lines) q.push_back(line);
        EXPECT_EQ(taken, 4);  // 60 and 60 do not share 100 bytes; 250 fills its own
        for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(q[i], lines[i]);
        q.pop_front();
        q.pop_front();
        EXPECT_EQ(given, 2);
        q.push_back("e");
    }
    EXPECT_EQ(given, taken);
    LineQueue::useMemory(BlockMemory());
}

}  // namespace
}  // namespace korrin
