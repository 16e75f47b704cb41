#include "server/net/line_queue.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>

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

}  // namespace
}  // namespace korrin
