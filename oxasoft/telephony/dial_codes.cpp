// Dial-letter codes and the dial-string test.
#include "oxasoft/telephony/dial_codes.h"

namespace oxa::telephony {

std::string enb_dial(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= '1' && c <= '9') {
            c = static_cast<char>(c + 16);
        } else if (c == '0') {
            c = 'J';
        } else if (c == '*' || c == 'B') {
            c = 'K';
        } else if (c == '#' || c == 'C') {
            c = 'L';
        }
    }
    return out;
}

bool is_dial_string(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || c == '*' || c == '#')) return false;
    }
    return true;
}

}  // namespace oxa::telephony
