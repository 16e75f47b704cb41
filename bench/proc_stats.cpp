#include "bench/proc_stats.h"

#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace korrin::bench {

namespace {

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Pids of all processes, from the numeric names in /proc.
std::vector<pid_t> allPids() {
    std::vector<pid_t> pids;
    DIR* d = opendir("/proc");
    if (!d) return pids;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (end && *end == 0 && pid > 0) pids.push_back(static_cast<pid_t>(pid));
    }
    closedir(d);
    return pids;
}

// The fields of /proc/PID/stat from the third (the state) on; empty when the process is gone.
std::vector<std::string> statFields(pid_t pid) {
    const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    // The command name in parentheses may hold spaces; the fields after it do not.
    const size_t close = stat.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos) return fields;
    std::istringstream f(stat.substr(close + 1));
    for (std::string field; f >> field;) fields.push_back(field);
    return fields;
}

}  // namespace

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void sleepSeconds(double s) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(s);
    ts.tv_nsec = static_cast<long>((s - static_cast<double>(ts.tv_sec)) * 1e9);
    nanosleep(&ts, nullptr);
}

pid_t findProcess(const std::vector<std::string>& cmdlineParts) {
    for (pid_t pid : allPids()) {
        std::string cmd = slurp("/proc/" + std::to_string(pid) + "/cmdline");
        bool all = !cmd.empty();
        for (const std::string& part : cmdlineParts)
            all = all && cmd.find(part) != std::string::npos;
        if (all) return pid;
    }
    return -1;
}

pid_t findWineserver(const std::string& prefix) {
    const std::string want = std::string("WINEPREFIX=") + prefix + '\0';
    for (pid_t pid : allPids()) {
        const std::string base = "/proc/" + std::to_string(pid);
        std::string comm = slurp(base + "/comm");
        if (comm.rfind("wineserver", 0) != 0) continue;
        std::string env = slurp(base + "/environ") + '\0';
        if (env.find(want) != std::string::npos) return pid;
    }
    return -1;
}

long vmRssKiB(pid_t pid) {
    std::istringstream in(slurp("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

double cpuSeconds(pid_t pid) {
    // utime and stime are fields 14 and 15.
    const std::vector<std::string> f = statFields(pid);
    if (f.size() < 13) return -1;
    return static_cast<double>(std::stoull(f[11]) + std::stoull(f[12])) /
           static_cast<double>(sysconf(_SC_CLK_TCK));
}

long minorFaults(pid_t pid) {
    const std::vector<std::string> f = statFields(pid);  // minflt is field 10
    return f.size() < 8 ? -1 : std::stol(f[7]);
}

namespace {

struct TcpLine {
    int localPort, remotePort;
    uint64_t tx, rx;
};

// "  sl  local_address rem_address   st tx_queue:rx_queue ..."; addresses and queues in hex.
// Established connections only: a listening socket's rx_queue is its accept backlog.
bool parseTcpLine(const std::string& line, TcpLine& out) {
    std::istringstream f(line);
    std::string slot, local, remote, state, queues;
    if (!(f >> slot >> local >> remote >> state >> queues) || state != "01") return false;
    auto portOf = [](const std::string& addr) {
        size_t colon = addr.find(':');
        return colon == std::string::npos
                   ? -1
                   : static_cast<int>(strtol(addr.c_str() + colon + 1, nullptr, 16));
    };
    size_t colon = queues.find(':');
    if (colon == std::string::npos) return false;
    out.localPort = portOf(local);
    out.remotePort = portOf(remote);
    out.tx = strtoull(queues.substr(0, colon).c_str(), nullptr, 16);
    out.rx = strtoull(queues.c_str() + colon + 1, nullptr, 16);
    return true;
}

}  // namespace

void addTcpLine(const std::string& line, int port, TcpBacklog& into) {
    TcpLine t;
    if (!parseTcpLine(line, t)) return;
    if (t.localPort == port) {
        into.unread += t.rx;
        ++into.established;
    }
    if (t.remotePort == port) into.unsent += t.tx;
}

uint64_t connectionBacklog(int clientPort, int port) {
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    uint64_t held = 0;
    TcpLine t;
    while (std::getline(tcp, line)) {
        if (!parseTcpLine(line, t)) continue;
        if (t.localPort == port && t.remotePort == clientPort) held += t.rx;
        if (t.localPort == clientPort && t.remotePort == port) held += t.tx;
    }
    return held;
}

TcpBacklog tcpBacklog(int port) {
    TcpBacklog b;
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    while (std::getline(tcp, line)) addTcpLine(line, port, b);
    return b;
}

double percentile(std::vector<double> values, double pct) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(std::ceil(pct / 100.0 * static_cast<double>(values.size())));
    rank = std::clamp<size_t>(rank, 1, values.size());
    return values[rank - 1];
}

double median(std::vector<double> values) {
    return percentile(std::move(values), 50);
}

}  // namespace korrin::bench
