// The floor for ingest: a reader that takes the relay's load on a port of its own and does
// nothing with it but count line ends. One epoll loop on a thread of the benchmark program,
// reading one 64 KiB chunk per readiness as the relay does, keeping nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace korrin::bench {

class BareReader {
  public:
    explicit BareReader(int port);  // listens on 127.0.0.1:port; listening() says if it could
    ~BareReader();
    BareReader(const BareReader&) = delete;
    BareReader& operator=(const BareReader&) = delete;

    bool listening() const { return listenFd_ >= 0; }
    int accepted() const { return accepted_; }
    uint64_t lines() const { return lines_; }

  private:
    void run();
    int listenFd_ = -1;
    int epollFd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::atomic<uint64_t> lines_{0};
    std::thread thread_;
};

}  // namespace korrin::bench
