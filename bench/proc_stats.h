// What the benchmark reads about other processes and sockets from /proc, and the statistics
// it reports.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace korrin::bench {

// Seconds on the monotonic clock.
double now();
void sleepSeconds(double s);

// The first process whose command line contains every one of the given texts; -1 if none.
pid_t findProcess(const std::vector<std::string>& cmdlineParts);
// The wineserver that serves the given prefix; -1 if none.
pid_t findWineserver(const std::string& prefix);
// Resident set size in KiB; -1 when the process is gone.
long vmRssKiB(pid_t pid);
// User plus system time in seconds; -1 when the process is gone.
double cpuSeconds(pid_t pid);
// Page faults served without reading the disk, mostly memory touched for the first time; -1
// when the process is gone.
long minorFaults(pid_t pid);

// Bytes the kernel holds on the TCP connections to a local port: not yet read by the
// listening side, plus not yet delivered from the connecting side.
struct TcpBacklog {
    uint64_t unread = 0;  // receive queues of the sockets whose local port is `port`
    uint64_t unsent = 0;  // send queues of the sockets whose remote port is `port`
    int established = 0;  // connections accepted by the kernel on `port`
};
TcpBacklog tcpBacklog(int port);
// Adds one line of /proc/net/tcp into the backlog; other lines are ignored.
void addTcpLine(const std::string& line, int port, TcpBacklog& into);
// The same for one connection from a local client port: bytes on their way to the listener.
uint64_t connectionBacklog(int clientPort, int port);

// Nearest-rank percentile (0..100) of the values; 0 for none.
double percentile(std::vector<double> values, double pct);
double median(std::vector<double> values);

}  // namespace korrin::bench
