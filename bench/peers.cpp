#include "bench/peers.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "bench/proc_stats.h"
#include "tests/server/server_harness.h"

namespace korrin::bench {

std::vector<Peer> connectPeers(int port, int count, bool read, bool keepLines) {
    std::vector<Peer> peers(static_cast<size_t>(count));
    for (Peer& p : peers) {
        p.fd = blackbox::connectTo(port);
        if (p.fd < 0) {
            closePeers(peers);
            return {};
        }
        fcntl(p.fd, F_SETFL, fcntl(p.fd, F_GETFL) | O_NONBLOCK);
        p.read = read;
        p.keepLines = keepLines;
    }
    return peers;
}

void closePeers(std::vector<Peer>& peers) {
    for (Peer& p : peers) blackbox::closeFd(p.fd);
    peers.clear();
}

namespace {

bool readSome(Peer& p) {
    char buf[65536];
    for (;;) {
        ssize_t n = recv(p.fd, buf, sizeof buf, 0);
        if (n == 0) return false;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        const double t = now();
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\n') {
                if (p.keepLines) p.partial += buf[i];
                continue;
            }
            ++p.linesSeen;
            if (p.keepLines) {
                p.lines.push_back(std::move(p.partial));
                p.lineTimes.push_back(t);
                p.partial.clear();
            }
        }
    }
}

// At most one send per round, so that a flooding writer cannot delay the readers' time stamps.
bool writeSome(Peer& p) {
    constexpr size_t kMaxWrite = 64 * 1024;
    ssize_t n =
        send(p.fd, p.out.data() + p.outPos, std::min(p.unwritten(), kMaxWrite), MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (!p.wrote) {
        p.wrote = true;
        p.firstWriteTime = now();
    }
    p.outPos += static_cast<size_t>(n);
    p.written += static_cast<size_t>(n);
    return true;
}

}  // namespace

bool pumpOnce(std::vector<Peer*>& peers, int timeoutMs) {
    std::vector<pollfd> fds;
    fds.reserve(peers.size());
    for (Peer* p : peers) {
        short events = 0;
        if (p->read) events |= POLLIN;
        if (p->unwritten() > 0) events |= POLLOUT;
        fds.push_back({p->fd, events, 0});
    }
    if (poll(fds.data(), fds.size(), timeoutMs) <= 0) return true;
    bool ok = true;
    for (size_t i = 0; i < fds.size(); ++i) {
        const short r = fds[i].revents;
        if (r & (POLLERR | POLLNVAL)) ok = false;
        if ((r & (POLLIN | POLLHUP)) && peers[i]->read && !readSome(*peers[i])) ok = false;
        if ((r & POLLOUT) && !writeSome(*peers[i])) ok = false;
    }
    return ok;
}

}  // namespace korrin::bench
