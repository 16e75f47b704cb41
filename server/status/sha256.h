// SHA-256 and base64, for the hashes a Content-Security-Policy names its inline script and
// style by.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace korrin {

std::array<uint8_t, 32> sha256(std::string_view data);
std::string base64(const uint8_t* data, size_t size);

// "'sha256-<base64>'", as a CSP source names an inline block.
std::string cspHash(std::string_view block);

}  // namespace korrin
