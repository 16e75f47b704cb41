// Winsock sockets, owned like every other handle.
#pragma once

#include <winsock2.h>

#include "common/unique_handle.h"

namespace oxa {

struct SocketTraits {
    using type = SOCKET;
    static type invalid() { return INVALID_SOCKET; }
    static void close(type s) { closesocket(s); }
};
using UniqueSocket = UniqueHandle<SocketTraits>;

}  // namespace oxa
