// Feature codes to dial text.
#include "oxasoft/codecs/feature_code.h"

namespace oxa::codecs {

std::string feature_code_text(std::string_view code) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string digits;
    if (code.empty()) {
        // No byte reads as -1, whose hexadecimal text starts and ends with FF.
        digits = "FFFF";
    } else {
        const auto first = static_cast<unsigned char>(code.front());
        const auto last = static_cast<unsigned char>(code.back());
        // The first byte is written with only the digits it needs: 0x05 gives "5".
        if (first >= 16) digits += kHex[first >> 4];
        digits += kHex[first & 0x0F];
        digits += kHex[last >> 4];
        digits += kHex[last & 0x0F];
    }
    std::string dial;
    for (char c : digits) {
        if (c == 'F') break;
        dial += c == 'B' ? '*' : c == 'C' ? '#' : c;
    }
    return dial;
}

}  // namespace oxa::codecs
