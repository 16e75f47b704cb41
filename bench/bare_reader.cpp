// bare_reader: the floor for ingest. A process of its own, started by relay_bench with the
// relay's priority, that takes the relay's load on its own port and does nothing with it but
// count line ends: one epoll loop, one 64 KiB read per readiness as the relay does, nothing kept.
//
//   bare_reader PORT PEERS
//
// Listens on 127.0.0.1:PORT, writes "accepted" and a line end to stdout once PEERS peers are
// connected, and when they have all closed writes the number of line ends read and exits.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: bare_reader PORT PEERS\n");
        return 2;
    }
    const int port = atoi(argv[1]), peers = atoi(argv[2]);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (fd < 0 || ep < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(fd, SOMAXCONN) != 0 || epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) != 0) {
        perror("bare_reader");
        return 1;
    }
    int accepted = 0, open = 0;
    unsigned long long lines = 0;
    epoll_event events[64];
    std::vector<char> buf(64 * 1024);
    while (accepted < peers || open > 0) {
        const int n = epoll_wait(ep, events, 64, -1);
        for (int i = 0; i < n; ++i) {
            const int c = events[i].data.fd;
            if (c == fd) {
                int s;
                while ((s = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                    epoll_event e = {};
                    e.events = EPOLLIN;
                    e.data.fd = s;
                    epoll_ctl(ep, EPOLL_CTL_ADD, s, &e);
                    ++open;
                    if (++accepted == peers) {
                        printf("accepted\n");
                        fflush(stdout);
                    }
                }
                continue;
            }
            const ssize_t got = recv(c, buf.data(), buf.size(), 0);
            if (got > 0) {
                lines +=
                    static_cast<unsigned long long>(std::count(buf.data(), buf.data() + got, '\n'));
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                epoll_ctl(ep, EPOLL_CTL_DEL, c, nullptr);
                close(c);
                --open;
            }
        }
    }
    printf("%llu\n", lines);
    return 0;
}
