// Packed digit bytes, byte splitting of 16-bit identifiers and binary digits.
#include "oxasoft/codecs/digits.h"

namespace oxa::codecs {

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::size_t kMaxNibbledBytes = 21;
}  // namespace

std::string nibbled_number(std::string_view bytes) {
    std::string digits;
    for (std::size_t i = 0; i < bytes.size() && i < kMaxNibbledBytes; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (b == 0xFF) break;
        digits += kHexDigits[b >> 4];
        digits += kHexDigits[b & 0x0F];
    }
    if (!digits.empty() && digits.back() == 'F') digits.pop_back();
    return digits;
}

std::string clear_ff(std::string_view bytes) {
    return std::string(bytes.substr(0, bytes.find('\xFF')));
}

std::string bin_string(std::int32_t v) {
    std::string bits(8, '0');
    for (int i = 0; i < 8; ++i) {
        if (v & (1 << i)) bits[7 - i] = '1';
    }
    return bits;
}

ByteSplit split_word(std::int32_t v) {
    const auto x = static_cast<std::uint32_t>(v) & 0xFFFFu;
    return {static_cast<std::int16_t>(x >> 8), static_cast<std::int16_t>(x & 0xFFu)};
}

std::int32_t port_number(std::int16_t high, std::int16_t low) {
    return static_cast<std::int32_t>(high) * 256 + low;
}

}  // namespace oxa::codecs
