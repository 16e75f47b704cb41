// The text/event-stream format of the status port's /events: each paced line as one event
// whose id is the line's sequence number, and what a request asks to resume from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korrin::events {

// What a stream begins with: the browser's reconnect delay.
constexpr char kStart[] = "retry: 2000\n\n";
// Sent while no line goes, so that proxies and browsers keep the stream.
constexpr char kKeepalive[] = ": keepalive\n\n";

// "id: <id>", the line as data, an empty line. A valid UTF-8 line goes as it is, any other is
// read as Latin-1; a CR at its end is dropped, one inside starts a second data line, and a NUL
// becomes U+FFFD, so that nothing cuts or hides the rest of the line.
std::string eventText(uint64_t id, std::string_view line);
// Lines after the asked id that are no longer kept: their count, or nothing when unknown.
std::string lostText(std::optional<uint64_t> count);

// An id as a client sends it: decimal digits only, within 64 bits.
std::optional<uint64_t> parseEventId(std::string_view text);

// Where a request asks its stream to begin.
struct StreamStart {
    std::optional<uint64_t> after;   // the last id the client has (Last-Event-ID or ?last=)
    std::optional<uint64_t> replay;  // ?replay=N: the last N lines sent
    bool badId = false;              // an id or count that is no number
};
// The Last-Event-ID field wins over the URL: a browser reconnects to the URL of its first
// connect, and the field holds the id it got last.
StreamStart parseStreamStart(std::string_view query, std::string_view lastEventId);

}  // namespace korrin::events
