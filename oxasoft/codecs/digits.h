// Packed digit bytes, byte splitting of 16-bit identifiers and binary digits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace oxa::codecs {

// Two digits per byte, high nibble first, as upper-case hex; a byte 0xFF ends the digits, at
// most 21 bytes are read and one trailing filler nibble F is dropped.
std::string nibbled_number(std::string_view bytes);

// The bytes before the first 0xFF (all of them when there is none).
std::string clear_ff(std::string_view bytes);

// The low 8 bits of v as eight characters '0'/'1', most significant first.
std::string bin_string(std::int32_t v);

struct ByteSplit {
    std::int16_t high;
    std::int16_t low;
};
// v taken as unsigned 16-bit, split into high and low byte.
ByteSplit split_word(std::int32_t v);

// high * 256 + low in 32 bits, without masking either part.
std::int32_t port_number(std::int16_t high, std::int16_t low);

}  // namespace oxa::codecs
