// What the relay has done and how it stands, as plain values: the counters it keeps, and one
// snapshot of its state that the status port renders.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "server/net/relay_seams.h"

namespace korrin {

// How late the send steps ran against their due time (one interval after the step before),
// in buckets of seconds, as a monitoring system reads a histogram.
struct LatenessHistogram {
    static constexpr double kBounds[] = {0.001, 0.0025, 0.005, 0.01, 0.025,
                                         0.05,  0.1,    0.25,  0.5,  1.0};
    static constexpr size_t kBuckets = sizeof kBounds / sizeof kBounds[0];
    uint64_t counts[kBuckets + 1] = {};  // per bucket, the last one past every bound
    double sum = 0;
    uint64_t count = 0;
    void add(double seconds);
};

// What the relay has done since it started, for the status page.
struct RelayCounters {
    uint64_t linesIn = 0;           // complete lines that joined the queue
    uint64_t linesOut = 0;          // lines the send steps took from the queue
    uint64_t sendFailures = 0;      // receivers dropped because a send to them failed
    uint64_t replayedLines = 0;     // sent lines given again to a receiver that connected
    uint64_t resumedReceivers = 0;  // receivers that took up their place from before
    std::map<std::string, uint64_t> linesLost;  // by reason: "not_kept", "damaged"
    std::map<int32_t, uint64_t> refusedByPort;
    LatenessHistogram lateness;
};

// Durations of the spool's flushes to stable storage.
struct SyncTimes {
    LatenessHistogram histogram;  // in seconds
    std::deque<double> recent;    // the last kRecent, in seconds
    static constexpr size_t kRecent = 1000;
    void add(double seconds);
    double p99() const;
};

struct PeerStatus {
    int id = 0;
    std::string kind = "tcp";  // receivers: "tcp", or the name of another kind
    std::string address;
    Clock::WallTime since;
    double connectedSeconds = 0;
    uint64_t lines = 0;        // sent to a receiver, received from a sender
    uint64_t bytesBehind = 0;  // receivers: queued and not yet taken by the network
};

// The spool under the queue; folder empty while the queue is in memory only.
struct SpoolStatus {
    std::string folder;
    uint64_t bytes = 0, segments = 0;
    uint64_t firstSeq = 0, sentSeq = 0, lastSeq = 0, syncedSeq = 0;
    double syncP99Ms = 0;
    std::string error;  // why it cannot be used or written; empty when it works
    LatenessHistogram syncSeconds;
};

struct RelayStatus {
    int32_t inputPort = 0, outputPort = 0;
    bool inputListening = false, outputListening = false;
    std::string bind;  // as set; empty: every interface
    // Addresses of Bind a listening port skipped, which this computer does not have.
    std::vector<std::string> inputNotBound, outputNotBound;
    int intervalMs = 0;
    uint64_t queueLines = 0, queueBytes = 0;
    bool paused = false;
    SpoolStatus spool;
    std::vector<PeerStatus> receivers, senders;
    std::string lastError;         // the last failed send to a receiver
    std::vector<std::string> log;  // the last lines written to the error log, oldest first
    RelayCounters counters;
};

}  // namespace korrin
