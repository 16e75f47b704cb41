// What the status port shows, and its three renderings: the page people read, JSON for
// scripts and the Prometheus text format for monitoring systems. Pure functions of a snapshot,
// so that they are tested from a made-up state.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "server/net/relay_status.h"

namespace korrin {

// The MQTT bridge of korrin-relay; state "off" where there is none.
struct MqttStatus {
    std::string broker;
    std::string state = "off";  // connected, connecting, off, error
    std::string since;          // UTC, ISO 8601, of the last change of state; empty: never
    uint64_t published = 0, acknowledgedSeq = 0, backlog = 0, inFlight = 0, received = 0;
    uint64_t reconnects = 0;
    std::string lastError;
    std::string unhealthy;  // why /healthz fails because of it; empty: it does not
};

// The relay's state and what the status server adds to it.
struct StatusSnapshot : RelayStatus {
    std::string version;
    std::string startedAt;  // UTC, ISO 8601
    double uptimeSeconds = 0;
    std::vector<uint64_t> queueHistory;  // lines, one sample a second, oldest first
    double linesInPerSecond = 0, linesOutPerSecond = 0;
    bool eventsOn = false;  // /events and /board are served
    MqttStatus mqtt;
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
