// Hexadecimal text to a 32-bit number.
#include "oxasoft/codecs/hex_number.h"

#include <cstring>

namespace oxa::codecs {

void upper_case_437(std::string& text) {
    static constexpr unsigned char kLower[] = {0x84, 0x94, 0x81, 0x82, 0xA4, 0x86, 0x87};
    static constexpr unsigned char kUpper[] = {0x8E, 0x99, 0x9A, 0x90, 0xA5, 0x8F, 0x80};
    for (char& c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 'a' && b <= 'z') {
            c = static_cast<char>(b - 'a' + 'A');
            continue;
        }
        const void* hit = std::memchr(kLower, b, sizeof kLower);
        if (hit) c = static_cast<char>(kUpper[static_cast<const unsigned char*>(hit) - kLower]);
    }
}

std::int32_t hex_to_number(std::string& text) {
    upper_case_437(text);
    std::size_t cut = text.find('H');
    if (cut == std::string::npos) cut = text.find('X');
    if (cut != std::string::npos) text.erase(0, cut + 1);

    // The value only counts when re-rendering it gives the text back, i.e. the text is the
    // shortest upper-case form of a 32-bit number; checking that directly also keeps long
    // texts from overflowing the sum of digit values.
    if (text.empty() || text.size() > 8 || (text[0] == '0' && text.size() > 1)) return -1;
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::uint32_t value = 0;
    for (char c : text) {
        const void* digit = std::memchr(kDigits, c, 16);
        if (!digit) return -1;
        value = value * 16 + static_cast<std::uint32_t>(static_cast<const char*>(digit) - kDigits);
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace oxa::codecs
