#include "server/net/socket_address.h"

#ifndef _WIN32
#include <netinet/tcp.h>

#include <cerrno>
#endif

#include <cstring>

namespace korrin {

namespace {

void setFlag(NativeSocket s, int level, int option) {
    // Winsock takes a BOOL or DWORD, POSIX an int: four bytes holding 1 on both.
    const int one = 1;
    setsockopt(s, level, option, reinterpret_cast<const char*>(&one), sizeof one);
}

}  // namespace

IpAddress ipAddressOf(const sockaddr_storage& address) {
    IpAddress a;
    if (address.ss_family == AF_INET6) {
        a.v6 = true;
        std::memcpy(a.bytes.data(), &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, 16);
    } else {
        std::memcpy(a.bytes.data(), &reinterpret_cast<const sockaddr_in&>(address).sin_addr, 4);
    }
    return a.unmapped();
}

sockaddr_storage socketAddress(const IpAddress& address, int32_t port, socklen_t* len) {
    sockaddr_storage s = {};
    if (address.v6) {
        auto& s6 = reinterpret_cast<sockaddr_in6&>(s);
        s6.sin6_family = AF_INET6;
        s6.sin6_port = htons(static_cast<uint16_t>(port));
        std::memcpy(&s6.sin6_addr, address.bytes.data(), 16);
        *len = sizeof s6;
    } else {
        auto& s4 = reinterpret_cast<sockaddr_in&>(s);
        s4.sin_family = AF_INET;
        s4.sin_port = htons(static_cast<uint16_t>(port));
        std::memcpy(&s4.sin_addr, address.bytes.data(), 4);
        *len = sizeof s4;
    }
    return s;
}

std::string localAddressText(NativeSocket s) {
    sockaddr_storage address = {};
    socklen_t len = sizeof address;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&address), &len) != 0) return {};
    return ipAddressOf(address).text();
}

void setV6Only(NativeSocket s) {
    setFlag(s, IPPROTO_IPV6, IPV6_V6ONLY);
}

void setNoDelay(NativeSocket s) {
    setFlag(s, IPPROTO_TCP, TCP_NODELAY);
}

bool addressMissing(int error) {
#ifdef _WIN32
    return error == WSAEADDRNOTAVAIL || error == WSAEAFNOSUPPORT;
#else
    return error == EADDRNOTAVAIL || error == EAFNOSUPPORT;
#endif
}

}  // namespace korrin
