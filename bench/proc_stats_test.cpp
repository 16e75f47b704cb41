#include "bench/proc_stats.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

namespace korrin::bench {
namespace {

// Lines as /proc/net/tcp prints them; port 5001 is 1389 in hex.
TEST(TcpBacklog, CountsOnlyEstablishedConnectionsOfThePort) {
    struct Row {
        const char* line;
        uint64_t unread, unsent;
        int established;
    } rows[] = {
        {"  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid", 0, 0,
         0},
        // the server's end: its receive queue is what it has not read
        {"   3: 0100007F:1389 0100007F:D2A4 01 00000010:00000A00 00:00000000 00000000 0 0 1 1",
         2560, 0, 1},
        // the sender's end: its send queue is what has not reached the server
        {"   4: 0100007F:D2A4 0100007F:1389 01 00000100:00000000 00:00000000 00000000 0 0 1 1", 0,
         256, 0},
        // a listening socket's rx_queue is its accept backlog, not data
        {"   0: 00000000:1389 00000000:0000 0A 00000000:00000005 00:00000000 00000000 0 0 1 1", 0,
         0, 0},
        // a closed connection in TIME_WAIT and a connection of another port
        {"   5: 0100007F:1389 0100007F:D2A6 06 00000000:00000000 03:00000F2D 00000000 0 0 0 3", 0,
         0, 0},
        {"   6: 0100007F:138A 0100007F:D2A8 01 00000000:00000040 00:00000000 00000000 0 0 1 1", 0,
         0, 0},
        {"garbage", 0, 0, 0},
    };
    for (const Row& r : rows) {
        TcpBacklog b;
        addTcpLine(r.line, 5001, b);
        EXPECT_EQ(b.unread, r.unread) << r.line;
        EXPECT_EQ(b.unsent, r.unsent) << r.line;
        EXPECT_EQ(b.established, r.established) << r.line;
    }
}

TEST(Percentile, NearestRank) {
    std::vector<double> hundred;
    for (int i = 100; i >= 1; --i) hundred.push_back(i);  // unsorted on purpose
    struct Row {
        std::vector<double> values;
        double pct, want;
    } rows[] = {
        {{}, 50, 0},       {{7}, 99, 7},        {{7}, 0, 7},        {hundred, 50, 50},
        {hundred, 99, 99}, {hundred, 100, 100}, {{3, 1, 2}, 50, 2}, {{4, 1, 3, 2}, 50, 2},
    };
    for (const Row& r : rows) EXPECT_EQ(percentile(r.values, r.pct), r.want) << r.pct;
}

// Read from /proc/PID/stat of this process: fresh memory touched shows as faults; a process
// that is gone gives -1.
TEST(ProcStat, FaultsAndCpuOfALiveProcessOnly) {
    const long before = minorFaults(getpid());
    std::vector<char> fresh(16 << 20);
    for (size_t i = 0; i < fresh.size(); i += 4096) fresh[i] = 1;
    EXPECT_GT(minorFaults(getpid()), before);
    EXPECT_EQ(fresh[4096], 1);
    EXPECT_GE(cpuSeconds(getpid()), 0);
    EXPECT_EQ(minorFaults(-2), -1);
    EXPECT_EQ(cpuSeconds(-2), -1);
}

}  // namespace
}  // namespace korrin::bench
