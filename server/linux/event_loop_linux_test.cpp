#include "server/linux/event_loop_linux.h"

#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

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

}  // namespace
}  // namespace korrin
