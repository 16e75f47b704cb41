// CONV_HEXTONUMBER's portable function against a literal reading of its rule: digit values
// summed in floating point (a non-digit counts -1 times its place), the low 32 bits kept, and
// the value only when its shortest upper-case rendering gives the text back. The rewritten
// text must never grow, since the export writes it back into the caller's memory.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "oxasoft/codecs/hex_number.h"

namespace {

std::string rewriteReference(std::string t) {
    static const unsigned char lower[] = {0x84, 0x94, 0x81, 0x82, 0xA4, 0x86, 0x87};
    static const unsigned char upper[] = {0x8E, 0x99, 0x9A, 0x90, 0xA5, 0x8F, 0x80};
    for (char& c : t) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        for (size_t i = 0; i < sizeof lower; ++i)
            if (static_cast<unsigned char>(c) == lower[i]) c = static_cast<char>(upper[i]);
    }
    size_t cut = t.find('H');
    if (cut == std::string::npos) cut = t.find('X');
    return cut == std::string::npos ? t : t.substr(cut + 1);
}

int32_t valueReference(const std::string& t) {
    // A rendering of 32 bits has at most 8 digits, so a longer text never matches; stopping
    // here also keeps the floating-point sum inside the range of a 64-bit integer.
    if (t.size() > 8) return -1;
    const char table[] = "0123456789ABCDEF";
    double sum = 0;
    const size_t L = t.size();
    for (size_t i = L; i >= 1; --i) {
        const char* at = static_cast<const char*>(std::memchr(table, t[i - 1], 16));
        const double position = at ? static_cast<double>(at - table + 1) : 0;  // 1-based
        sum += (position - 1) * std::pow(16.0, static_cast<double>(L - i));
    }
    const auto value = static_cast<uint32_t>(static_cast<int64_t>(sum));
    char rendered[16];
    std::snprintf(rendered, sizeof rendered, "%X", value);
    return t == rendered ? static_cast<int32_t>(value) : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string original(reinterpret_cast<const char*>(data), size);
    // The export sees the caller's text up to its first NUL.
    const std::string text = original.substr(0, original.find('\0'));
    std::string rewritten = text;
    const int32_t value = oxa::codecs::hex_to_number(rewritten);
    FUZZ_CHECK(rewritten.size() <= text.size());
    const std::string want = rewriteReference(text);
    FUZZ_CHECK(rewritten == want);
    FUZZ_CHECK(value == valueReference(want));
    // Once rewritten, the text gives the same value again (it has no "H" or "X" left unless
    // a second one followed the first).
    if (want.find('H') == std::string::npos && want.find('X') == std::string::npos) {
        std::string again = rewritten;
        FUZZ_CHECK(oxa::codecs::hex_to_number(again) == value && again == rewritten);
    }
    return 0;
}
