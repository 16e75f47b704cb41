// The bounds that more than one part of the relay, its log texts and its documents speak of,
// each named once here.
#pragma once

#include <cstddef>

namespace korrin::limits {

// Bytes of one line; a longer one is dropped whole. A spool record never holds more.
constexpr size_t kMaxLine = 64 * 1024;
// Unsent bytes one connection may hold; a receiver past it is dropped.
constexpr size_t kSendCap = 4u * 1024 * 1024;
// Connections the status port serves at a time; a further client is closed as it connects.
constexpr int kStatusConnections = 16;

}  // namespace korrin::limits
