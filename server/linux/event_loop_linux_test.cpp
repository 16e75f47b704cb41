#include "server/linux/event_loop_linux.h"

#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "common/unique_fd.h"

namespace korrin {
namespace {

// A file epoll refuses is reported with its reason and leaves the registration before it as
// it was: the pipe's first handler still runs, a refused one never does.
TEST(EventLoop, WatchSaysWhetherEpollTookTheFile) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const oxa::UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    EventLoop loop;
    int runs = 0;
    ASSERT_TRUE(loop.watch(readEnd.get(), EPOLLIN, [&](uint32_t) { ++runs; }));
    const std::pair<int, int> refused[] = {{readEnd.get(), EEXIST}, {-1, EBADF}};
    for (const auto& [fd, error] : refused) {
        errno = 0;
        EXPECT_FALSE(loop.watch(fd, EPOLLIN, [&](uint32_t) { runs += 100; })) << fd;
        EXPECT_EQ(errno, error) << fd;
    }
    ASSERT_EQ(write(writeEnd.get(), "x", 1), 1);
    loop.runOnce(1000);
    EXPECT_EQ(runs, 1);
}

// A change or a release epoll refuses says so: a file never watched, one closed under its
// registration. The release forgets the registration all the same.
TEST(EventLoop, ModifyAndUnwatchSayWhetherEpollTookTheChange) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    oxa::UniqueFd readEnd(ends[0]);
    const oxa::UniqueFd writeEnd(ends[1]);
    EventLoop loop;
    errno = 0;
    EXPECT_FALSE(loop.modify(readEnd.get(), EPOLLIN));
    EXPECT_EQ(errno, ENOENT);
    ASSERT_TRUE(loop.watch(readEnd.get(), EPOLLIN, [](uint32_t) {}));
    EXPECT_TRUE(loop.modify(readEnd.get(), 0));
    const int fd = readEnd.get();
    readEnd.reset();  // epoll lets go of a closed file on its own
    errno = 0;
    EXPECT_FALSE(loop.modify(fd, EPOLLIN));
    EXPECT_EQ(errno, EBADF);
    EXPECT_FALSE(loop.unwatch(fd));
    EXPECT_FALSE(loop.unwatch(fd));
    EXPECT_EQ(errno, ENOENT);
}

// Files that became ready before the first one, more than one batch of them: the first one's
// handler runs ahead of them all, and a stop it asks for ends the round.
TEST(EventLoop, AFirstFileRunsBeforeTheRoundsOtherEvents) {
    std::vector<oxa::UniqueFd> fds;
    auto readablePipe = [&] {
        int ends[2];
        EXPECT_EQ(pipe(ends), 0);
        fds.emplace_back(ends[0]);
        fds.emplace_back(ends[1]);
        EXPECT_EQ(write(ends[1], "x", 1), 1);
        return ends[0];
    };
    EventLoop loop;
    int others = 0, first = 0;
    for (int i = 0; i < 70; ++i)
        ASSERT_TRUE(loop.watch(readablePipe(), EPOLLIN, [&](uint32_t) { ++others; }));
    ASSERT_TRUE(loop.watchFirst(readablePipe(), EPOLLIN, [&](uint32_t events) {
        EXPECT_EQ(events, uint32_t{EPOLLIN});
        if (++first == 1) loop.stop();
    }));
    loop.runOnce(1000);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(others, 0);
}

}  // namespace
}  // namespace korrin
