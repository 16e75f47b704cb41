// The spool's format on disk, in one place. A record is [CRC-32C][length][sequence][bytes],
// little-endian, the CRC over length, sequence and bytes; a segment is named by its first
// sequence in 20 digits; the sent file holds the place of the last line sent in two slots
// written in turn, and the acked file the place of the last line the broker acknowledged in
// the same way (an earlier build wrote none). A spool written by an earlier build reads the same.
#pragma once

#include <cstddef>
#include <cstdint>

#include "server/net/limits.h"

namespace korrin::journal_format {

constexpr size_t kHeaderBytes = 16;
// The longest line: what the line framer lets through, and what a record's length may say.
constexpr size_t kMaxLine = limits::kMaxLine;
constexpr char kSegmentSuffix[] = ".seg";
constexpr size_t kNameDigits = 20;
constexpr char kSentFile[] = "sent";
constexpr uint32_t kSentMagic = 0x746E534B;  // "KSnt"
constexpr size_t kSentSlot = 16;             // sequence, its CRC, the magic
constexpr char kAckedFile[] = "acked";
constexpr uint32_t kAckedMagic = 0x6B634B4B;  // "KKck"

inline void put32(char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
}
inline void put64(char* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<char>(v >> (8 * i));
}
inline uint32_t get32(const char* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}
inline uint64_t get64(const char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

}  // namespace korrin::journal_format
