#include "server/net/socket_address.h"

#include <gtest/gtest.h>

namespace korrin {
namespace {

TEST(SocketAddress, RoundTripsAndUnmapsIPv4SeenOnIPv6) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {{"127.0.0.1", "127.0.0.1"}, {"::1", "::1"}, {"::ffff:10.1.2.3", "10.1.2.3"}};
    for (const auto& k : cases) {
        socklen_t len = 0;
        const sockaddr_storage s = socketAddress(*parseIpAddress(k.in), 3001, &len);
        EXPECT_EQ(ipAddressOf(s).text(), k.out);
        EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in&>(s).sin_port), 3001);
        EXPECT_EQ(len, s.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
    }
}

}  // namespace
}  // namespace korrin
