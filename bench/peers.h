// Non-blocking Linux peers driven by one poll loop: senders that write as fast as their socket
// takes it, and readers that stamp each line with the time it arrived.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace korrin::bench {

struct Peer {
    int fd = -1;
    std::string out;  // bytes still to write, from outPos on
    size_t outPos = 0;
    bool read = false;  // read what arrives (receivers; broker clients must drain)
    bool keepLines = false;
    std::string partial;             // an unfinished line, when lines are kept
    std::vector<std::string> lines;  // complete lines, when kept
    std::vector<double> lineTimes;   // arrival time of each kept line
    size_t linesSeen = 0;            // LFs read, kept or not
    unsigned long long written = 0;  // bytes the socket took in all
    bool wrote = false;              // the socket took a first byte,
    double firstWriteTime = 0;       // at this time

    size_t unwritten() const { return out.size() - outPos; }
    // Appends bytes to write, dropping what was written already.
    void queue(const std::string& bytes) {
        if (outPos > (1u << 20)) {
            out.erase(0, outPos);
            outPos = 0;
        }
        out += bytes;
    }
};

// Connects non-blocking peers; empty when one connection failed.
std::vector<Peer> connectPeers(int port, int count, bool read, bool keepLines);
void closePeers(std::vector<Peer>& peers);

// One round: waits up to timeoutMs for any socket to be ready, then writes and reads what it can.
// Returns false when a peer's connection failed or closed.
bool pumpOnce(std::vector<Peer*>& peers, int timeoutMs);

}  // namespace korrin::bench
