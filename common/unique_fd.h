// POSIX descriptors (sockets, epoll, timerfd, signalfd, files) owned like every other handle.
#pragma once

#include <unistd.h>

#include "common/unique_handle.h"

namespace oxa {

struct FdTraits {
    using type = int;
    static type invalid() { return -1; }
    static void close(type fd) { ::close(fd); }
};
using UniqueFd = UniqueHandle<FdTraits>;

}  // namespace oxa
