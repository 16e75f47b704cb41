// Hexadecimal text to a 32-bit number, with the callers' in-place upper-casing and prefix cut.
#pragma once

#include <cstdint>
#include <string>

namespace oxa::codecs {

// Upper-cases a-z and the accented lower-case letters of OEM code page 437.
void upper_case_437(std::string& text);

// Rewrites text as the caller sees it afterwards (upper-cased, cut after its first "H", else
// after its first "X") and returns the number's 32-bit pattern, or -1 when the rest is not
// hexadecimal in its shortest form (no leading zeros, at most eight digits, not empty).
std::int32_t hex_to_number(std::string& text);

}  // namespace oxa::codecs
