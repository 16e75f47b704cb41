#include "server/linux/event_loop_linux.h"

#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "common/unique_fd.h"

namespace korrin {
namespace {

// A file epoll refuses is reported with its reason and leaves the registration before it as
// it was: the pipe's first handler still runs, the refused second one never does.
TEST(EventLoop, WatchSaysWhetherEpollTookTheFile) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const oxa::UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
    FILE* tmp = tmpfile();
    ASSERT_NE(tmp, nullptr);
    const oxa::UniqueFd file(dup(fileno(tmp)));
    fclose(tmp);
    EventLoop loop;
    int first = 0, refused = 0;
    ASSERT_TRUE(loop.watch(readEnd.get(), EPOLLIN, [&](uint32_t) { ++first; }));
    struct Case {
        const char* name;
        int fd;
        int error;
    } cases[] = {
        {"watched already", readEnd.get(), EEXIST},
        {"a regular file", file.get(), EPERM},
        {"no descriptor", -1, EBADF},
    };
    for (const Case& c : cases) {
        errno = 0;
        EXPECT_FALSE(loop.watch(c.fd, EPOLLIN, [&](uint32_t) { ++refused; })) << c.name;
        EXPECT_EQ(errno, c.error) << c.name;
    }
    ASSERT_EQ(write(writeEnd.get(), "x", 1), 1);
    loop.runOnce(1000);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(refused, 0);
}

}  // namespace
}  // namespace korrin
