#include "server/linux/event_loop_linux.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace korrin {

EventLoop::EventLoop() : epoll_(epoll_create1(EPOLL_CLOEXEC)) {
    if (!epoll_) throw std::runtime_error("epoll_create1 failed");
}

EventLoop::~EventLoop() = default;

bool EventLoop::watch(int fd, uint32_t events, Handler handler) {
    return add(fd, events, std::move(handler), false);
}

bool EventLoop::watchFirst(int fd, uint32_t events, Handler handler) {
    return add(fd, events, std::move(handler), true);
}

bool EventLoop::add(int fd, uint32_t events, Handler handler, bool first) {
    const uint64_t token = nextToken_++;
    epoll_event ev = {};
    ev.events = events;
    ev.data.u64 = token;
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) != 0) return false;
    tokenOfFd_[fd] = token;
    handlers_[token] = std::move(handler);
    if (first) first_[token] = {fd, events};
    return true;
}

bool EventLoop::modify(int fd, uint32_t events) {
    auto it = tokenOfFd_.find(fd);
    if (it == tokenOfFd_.end()) {
        errno = ENOENT;
        return false;
    }
    epoll_event ev = {};
    ev.events = events;
    ev.data.u64 = it->second;
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &ev) != 0) return false;
    if (auto f = first_.find(it->second); f != first_.end()) f->second.second = events;
    return true;
}

bool EventLoop::unwatch(int fd) {
    auto it = tokenOfFd_.find(fd);
    if (it == tokenOfFd_.end()) {
        errno = ENOENT;
        return false;
    }
    handlers_.erase(it->second);
    first_.erase(it->second);
    tokenOfFd_.erase(it);
    return epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr) == 0;
}

void EventLoop::post(std::function<void()> work) {
    posted_.push_back(std::move(work));
}

void EventLoop::run() {
    while (!stopped_) runOnce(-1);
}

void EventLoop::runOnce(int timeoutMs) {
    // What was posted runs before the loop waits again.
    while (!posted_.empty() && !stopped_) {
        std::function<void()> work = std::move(posted_.front());
        posted_.pop_front();
        work();
    }
    if (stopped_) return;
    epoll_event events[64];
    const int n = epoll_wait(epoll_.get(), events, 64, posted_.empty() ? timeoutMs : 0);
    if (n < 0 && errno != EINTR) throw std::runtime_error("epoll_wait failed");
    if (!runFirst()) return;
    for (int i = 0; i < n && !stopped_; ++i) {
        // Run already in this round.
        if (first_.count(events[i].data.u64)) continue;
        // An earlier handler of this batch may have let go of this one.
        auto it = handlers_.find(events[i].data.u64);
        if (it == handlers_.end()) continue;
        Handler h = it->second;  // a copy: the handler may unwatch itself
        h(events[i].events);
    }
}

// Asked on their own, not found in the batch: a batch holds 64 events at most, and epoll hands
// out the ready files in the order they became ready, so under a flood a first file's event
// could wait behind several batches of sockets.
bool EventLoop::runFirst() {
    if (first_.empty()) return !stopped_;
    std::vector<pollfd> polled;
    std::vector<uint64_t> tokens;
    for (const auto& [token, watched] : first_) {
        // EPOLLIN, EPOLLOUT, EPOLLERR, EPOLLHUP and EPOLLRDHUP have poll's values.
        polled.push_back({watched.first, static_cast<short>(watched.second), 0});
        tokens.push_back(token);
    }
    if (poll(polled.data(), polled.size(), 0) <= 0) return !stopped_;
    for (size_t i = 0; i < polled.size() && !stopped_; ++i) {
        if (polled[i].revents == 0) continue;
        auto it = handlers_.find(tokens[i]);
        if (it == handlers_.end()) continue;
        Handler h = it->second;
        h(static_cast<uint16_t>(polled[i].revents));
    }
    return !stopped_;
}

namespace {
// steady_clock is CLOCK_MONOTONIC here, the timerfd's clock.
timespec toTimespec(std::chrono::steady_clock::time_point t) {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    return {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}
}  // namespace

FdTimer::FdTimer(EventLoop& loop, std::function<void()> onTick)
    : loop_(loop),
      fd_(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)),
      onTick_(std::move(onTick)) {
    if (!fd_) throw std::runtime_error("timerfd_create failed");
    const bool watched = loop_.watch(fd_.get(), EPOLLIN, [this](uint32_t) {
        uint64_t expirations = 0;
        if (read(fd_.get(), &expirations, sizeof expirations) != sizeof expirations) return;
        if (!schedule_.running()) return;
        // One tick however late.
        schedule_.tickStarts(std::chrono::steady_clock::now());
        onTick_();
        schedule_.tickEnds();
        arm();
    });
    if (!watched)
        throw std::system_error(errno, std::generic_category(), "the timer cannot be watched");
}

FdTimer::~FdTimer() {
    loop_.unwatch(fd_.get());
}

// One shot at a time: a periodic timerfd would count from the schedule, not from the tick.
void FdTimer::arm() {
    itimerspec timing = {};
    if (schedule_.running()) timing.it_value = toTimespec(schedule_.due());
    timerfd_settime(fd_.get(), TFD_TIMER_ABSTIME, &timing, nullptr);
}

void FdTimer::setInterval(int ms) {
    schedule_.setInterval(ms, std::chrono::steady_clock::now());
    arm();
}

void FdTimer::setEnabled(bool on) {
    if (schedule_.enabled() == on) return;
    schedule_.setEnabled(on, std::chrono::steady_clock::now());
    arm();
}

}  // namespace korrin
