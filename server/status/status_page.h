// What the status port shows, and its three renderings: the page people read, JSON for
// scripts and the Prometheus text format for monitoring systems. Pure functions of a snapshot,
// so that they are tested from a made-up state.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "server/net/relay.h"

namespace korrin {

struct PeerStatus {
    int id = 0;
    std::string address;
    std::string since;  // UTC, ISO 8601
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

struct StatusSnapshot {
    std::string version;
    std::string startedAt;  // UTC, ISO 8601
    double uptimeSeconds = 0;
    int32_t inputPort = 0, outputPort = 0;
    bool inputListening = false, outputListening = false;
    std::string bind;  // as set; empty: every interface
    // Addresses of Bind a listening port skipped, which this computer does not have.
    std::vector<std::string> inputNotBound, outputNotBound;
    int intervalMs = 0;
    uint64_t queueLines = 0, queueBytes = 0;
    bool paused = false;
    std::vector<uint64_t> queueHistory;  // lines, one sample a second, oldest first
    SpoolStatus spool;
    double linesInPerSecond = 0, linesOutPerSecond = 0;
    std::vector<PeerStatus> receivers, senders;
    std::string lastError;         // the window's last send failure
    std::vector<std::string> log;  // the last lines written to the error log, oldest first
    RelayCounters counters;
};

std::string renderStatusJson(const StatusSnapshot& s);
std::string renderMetrics(const StatusSnapshot& s);
std::string renderStatusPage(const StatusSnapshot& s);
// The Content-Security-Policy of the page: nothing from elsewhere, only its own inline
// script and style (by their hashes), and fetches to this server.
const std::string& statusPagePolicy();

// Helpers shared with the server.
std::string isoUtc(Clock::WallTime t);
// Text of this system is 8-bit ANSI; pages and JSON are UTF-8.
std::string latin1ToUtf8(const std::string& text);

}  // namespace korrin
