// The packed-digit and feature-code codecs: GET_NIBBLED_NUMBER stays within 42 hexadecimal
// digits that spell the bytes read, CLEAR_FF gives a prefix without 0xFF, CHANGE_LMCODE uses
// only dial characters, MAKE_WEG_ID and GET_PORTNUMBER undo each other for every 16-bit value.
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "oxasoft/codecs/digits.h"
#include "oxasoft/codecs/feature_code.h"

namespace {

using namespace oxa::codecs;

bool onlyOf(const std::string& s, const char* allowed) {
    return s.find_first_not_of(allowed) == std::string::npos;
}

std::string hexOf(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// Every 16-bit value splits into two bytes that join back to it; checked once per process.
bool wordRoundTripHolds() {
    for (int32_t v = 0; v <= 0xFFFF; ++v) {
        const ByteSplit s = split_word(v);
        if (s.high < 0 || s.high > 255 || s.low < 0 || s.low > 255) return false;
        if (port_number(s.high, s.low) != v) return false;
        // The export reads the value as a signed 16-bit integer: -1 is 65535.
        const ByteSplit n = split_word(static_cast<int16_t>(v));
        if (n.high != s.high || n.low != s.low) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool roundTrip = wordRoundTripHolds();
    FUZZ_CHECK(roundTrip);
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    // Packed digits: the hexadecimal spelling of the bytes before the first 0xFF, at most 21
    // of them, less one trailing filler F.
    const std::string digits = nibbled_number(bytes);
    FUZZ_CHECK(digits.size() <= 42);
    FUZZ_CHECK(onlyOf(digits, "0123456789ABCDEF"));
    std::string spelled = hexOf(bytes.substr(0, std::min(bytes.find('\xFF'), size_t{21})));
    if (!spelled.empty() && spelled.back() == 'F') spelled.pop_back();
    FUZZ_CHECK(digits == spelled);

    const std::string cleared = clear_ff(bytes);
    FUZZ_CHECK(bytes.substr(0, cleared.size()) == cleared);
    FUZZ_CHECK(cleared.find('\xFF') == std::string::npos);
    FUZZ_CHECK(cleared.size() == size || bytes[cleared.size()] == '\xFF');

    // Feature codes: dial characters only, at most the four nibbles of the first and last byte.
    const std::string dial = feature_code_text(bytes);
    FUZZ_CHECK(dial.size() <= 4);
    FUZZ_CHECK(onlyOf(dial, "0123456789ADE*#"));
    if (size >= 1) {
        const std::string ends = {bytes.front(), bytes.back()};
        FUZZ_CHECK(feature_code_text(ends) == dial);  // middle bytes never count
    }

    if (size >= 4) {
        int32_t v;
        std::memcpy(&v, data, sizeof v);
        const std::string bits = bin_string(v);
        FUZZ_CHECK(bits.size() == 8 && onlyOf(bits, "01"));
        FUZZ_CHECK(bits == bin_string(v & 0xFF));
        FUZZ_CHECK(std::stoi(bits, nullptr, 2) == (v & 0xFF));
    }
    return 0;
}
