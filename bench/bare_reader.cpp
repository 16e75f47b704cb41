#include "bench/bare_reader.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace korrin::bench {

BareReader::BareReader(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (fd < 0 || epollFd_ < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(fd, SOMAXCONN) != 0 || epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        if (fd >= 0) close(fd);
        return;
    }
    listenFd_ = fd;
    thread_ = std::thread([this] { run(); });
}

BareReader::~BareReader() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) close(listenFd_);
    if (epollFd_ >= 0) close(epollFd_);
}

void BareReader::run() {
    std::vector<int> peers;
    epoll_event events[64];
    std::vector<char> buf(64 * 1024);
    while (!stop_) {
        const int n = epoll_wait(epollFd_, events, 64, 20);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listenFd_) {
                int c;
                while ((c = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >=
                       0) {
                    epoll_event ev = {};
                    ev.events = EPOLLIN;
                    ev.data.fd = c;
                    epoll_ctl(epollFd_, EPOLL_CTL_ADD, c, &ev);
                    peers.push_back(c);
                    ++accepted_;
                }
                continue;
            }
            const ssize_t got = recv(fd, buf.data(), buf.size(), 0);
            if (got > 0) {
                lines_ += static_cast<uint64_t>(std::count(buf.data(), buf.data() + got, '\n'));
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
                close(fd);
                peers.erase(std::find(peers.begin(), peers.end(), fd));
            }
        }
    }
    for (int fd : peers) close(fd);
}

}  // namespace korrin::bench
