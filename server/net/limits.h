// The bounds that more than one part of the relay, its log texts and its documents speak of,
// each named once here.
#pragma once

#include <cstddef>

namespace korrin::limits {

// Bytes of one line; a longer one is dropped whole. A spool record never holds more.
constexpr size_t kMaxLine = 64 * 1024;
// Unsent bytes one connection may hold; a receiver past it is dropped.
constexpr size_t kSendCap = 4u * 1024 * 1024;
// Receivers served at once (connection ids 0..30).
constexpr int kReceivers = 31;
// Past either mark of the queue in memory the relay stops reading from senders until the
// queue is down to half.
constexpr size_t kQueueHighLines = 100000;
constexpr size_t kQueueHighBytes = 64u * 1024 * 1024;
// Without a spool: the most sent lines kept for receivers that catch up.
constexpr size_t kKeptLines = 100000;
constexpr size_t kKeptBytes = 64u * 1024 * 1024;
// What a catch-up may have queued to one receiver at once (well below kSendCap, so that a
// receiver that missed much is not dropped for it).
constexpr size_t kCatchUpFeedBytes = 1024 * 1024;
// Places of receivers that left, remembered for their return.
constexpr size_t kPlaces = 1000;
// Event streams the status port serves at a time, beside its requests.
constexpr int kEventStreams = 31;
// Connections the status port serves at a time; a further client is closed as it connects.
constexpr int kStatusConnections = 16;

}  // namespace korrin::limits
