// The Linux relay's one event loop on one thread: epoll for sockets, timerfd for timers,
// signalfd for signals, and a queue of deferred work that runs after the current events, as
// posted messages do on Windows.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <utility>

#include "common/unique_fd.h"
#include "server/net/tick_schedule.h"
#include "server/net/relay_seams.h"

namespace korrin {

class EventLoop {
  public:
    using Handler = std::function<void(uint32_t events)>;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Watches fd for the epoll events; the handler runs for each readiness. A token names the
    // registration: an event of a file the loop no longer watches finds no handler and is lost.
    // False when epoll refuses the file (errno says why); nothing is then registered.
    [[nodiscard]] bool watch(int fd, uint32_t events, Handler handler);
    // As watch(), and the file is looked at first in every round, before the round's events:
    // a stop its handler asks for ends the round before any of them. For the few files that
    // must not wait behind socket work (the signals).
    [[nodiscard]] bool watchFirst(int fd, uint32_t events, Handler handler);
    // False when epoll refuses the change (errno says why; ENOENT for a file not watched).
    [[nodiscard]] bool modify(int fd, uint32_t events);
    // The registration goes whatever epoll says; false when epoll refused (a file closed
    // before it was let go of, say).
    bool unwatch(int fd);
    // Runs after every event already waiting has been handled, in the order posted.
    void post(std::function<void()> work);
    // Handles events until stop(); the handlers run one at a time, never inside another.
    void run();
    // Runs what was posted, then handles what arrives within the time (tests pump with it).
    void runOnce(int timeoutMs);
    void stop() { stopped_ = true; }

  private:
    bool add(int fd, uint32_t events, Handler handler, bool first);
    // Runs the handlers of the first files that are ready; false once stopped.
    bool runFirst();

    oxa::UniqueFd epoll_;
    bool stopped_ = false;
    uint64_t nextToken_ = 1;
    std::map<int, uint64_t> tokenOfFd_;
    std::map<uint64_t, Handler> handlers_;
    std::map<uint64_t, std::pair<int, uint32_t>> first_;  // token: fd and events
    std::deque<std::function<void()>> posted_;
};

// A Timer on a timerfd, armed one tick at a time for the time the TickSchedule names.
class FdTimer final : public Timer {
  public:
    FdTimer(EventLoop& loop, std::function<void()> onTick);
    ~FdTimer() override;
    void setInterval(int ms) override;
    void setEnabled(bool on) override;

  private:
    void arm();
    EventLoop& loop_;
    oxa::UniqueFd fd_;
    TickSchedule schedule_;  // on steady_clock, which is the timerfd's CLOCK_MONOTONIC
    std::function<void()> onTick_;
};

}  // namespace korrin
