// Socket addresses and the socket options both listeners set, the same on Winsock and POSIX.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>
#include <string>

#include "server/net/ip_address.h"

namespace korrin {

#ifdef _WIN32
using NativeSocket = SOCKET;
#else
using NativeSocket = int;
#endif

// The IP address of a socket address; an IPv4 peer seen on an IPv6 socket is that IPv4 address.
IpAddress ipAddressOf(const sockaddr_storage& address);
// The socket address of an IP address and port; its length in *len.
sockaddr_storage socketAddress(const IpAddress& address, int32_t port, socklen_t* len);
// The address of this computer a connected socket was reached at; empty when it cannot be told.
std::string localAddressText(NativeSocket s);
// An IPv6 socket that serves IPv6 only: IPv4 has a socket of its own, or was not asked for.
void setV6Only(NativeSocket s);
// Small writes go out at once: a line is not held back waiting for more.
void setNoDelay(NativeSocket s);
// Whether a socket or bind error says this computer lacks the address, or its family (IPv6
// switched off), rather than that the port cannot be had.
bool addressMissing(int error);

}  // namespace korrin
