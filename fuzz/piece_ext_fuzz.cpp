// GET_PIECE_EXT's field extraction: with a delimiter the fields join back to the text and hold
// no delimiter; without one, the comma fields of a text without quotes are the trimmed
// delimiter fields; negative numbers count from the end; every field lies inside the text.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "fuzz/fuzz_check.h"
#include "oxasoft/codecs/fields.h"

namespace {

using oxa::codecs::piece;

size_t occurrences(const std::string& text, const std::string& delimiter) {
    size_t k = 0;
    for (size_t at = 0; (at = text.find(delimiter, at)) != std::string::npos;
         at += delimiter.size())
        ++k;
    return k;
}

std::string trimBlanks(const std::string& s) {
    const size_t a = s.find_first_not_of(' ');
    if (a == std::string::npos) return {};
    return s.substr(a, s.find_last_not_of(' ') - a + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string delimiter = in.ConsumeRandomLengthString(4);
    // The export passes n from a 16-bit integer.
    const int16_t n = in.ConsumeIntegral<int16_t>();
    const std::string text = in.ConsumeRemainingBytesAsString();

    const std::string field = piece(text, delimiter, n);
    FUZZ_CHECK(field.size() <= text.size());
    FUZZ_CHECK(text.find(field) != std::string::npos);

    if (!delimiter.empty()) {
        const int64_t k = static_cast<int64_t>(occurrences(text, delimiter));
        if (n == 0 || n > k + 1 || n < -(k + 1)) FUZZ_CHECK(field.empty());
        // Each call splits the whole text: look at every field of texts with few of them,
        // at the first and last ones of the others.
        const bool all = k < 32;
        std::string joined;
        for (int64_t i = 1; i <= k + 1; ++i) {
            if (!all && i > 8 && i < k - 6) continue;
            const std::string f = piece(text, delimiter, static_cast<int32_t>(i));
            FUZZ_CHECK(f.find(delimiter) == std::string::npos);
            FUZZ_CHECK(piece(text, delimiter, static_cast<int32_t>(i - k - 2)) == f);
            if (i > 1) joined += delimiter;
            joined += f;
        }
        if (all) FUZZ_CHECK(joined == text);
        return 0;
    }
    // Comma fields: without quotes they are the ","-fields with their blanks trimmed.
    if (text.find('"') == std::string::npos) FUZZ_CHECK(field == trimBlanks(piece(text, ",", n)));
    return 0;
}
