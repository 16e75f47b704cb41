// The console's text rules: the language-code table, the lookup rule of the language texts
// and the rule that turns the bytes of a registry value into text.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "server/console/language.h"
#include "server/win32/registry_list.h"
#include "fuzz/fuzz_check.h"

namespace {

std::string upperAscii(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

bool oneOf(const std::string& s, std::initializer_list<const char*> codes) {
    for (const char* c : codes)
        if (s == c) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);

    // Language code: exactly the German and Dutch codes, in any case, pick their sections.
    const std::string code = in.ConsumeRandomLengthString(8);
    const std::string section = korrin::languageSection(code);
    const std::string up = upperAscii(code);
    const char* want = oneOf(up, {"DEU", "DEC", "DEL", "DEA", "DES"}) ? "DEU"
                       : oneOf(up, {"NLD", "NLB"})                    ? "NLD"
                                                                      : "ENG";
    FUZZ_CHECK(section == want);
    FUZZ_CHECK(korrin::languageSection(section) == section);

    // Lookup rule: what the profile call copied, except that one character reads as empty.
    const std::string buffer = in.ConsumeRandomLengthString(300);
    const unsigned copied = in.ConsumeIntegralInRange<unsigned>(0, buffer.size());
    const std::string text = korrin::langTextFromProfile(buffer.data(), copied);
    FUZZ_CHECK(text == (copied <= 1 ? std::string() : buffer.substr(0, copied)));

    // Registry bytes, as the code is read: a REG_SZ is its text without the NULs that end it;
    // any other type, or a failed read, is no code.
    const uint32_t type = in.ConsumeIntegralInRange<uint32_t>(0, 8);
    const long readError = in.ConsumeBool() ? 0 : in.ConsumeIntegral<uint16_t>();
    const std::string bytes = in.ConsumeRandomLengthString(64);
    const std::string value = korrin::textFromRegistry(readError, type, bytes);
    if (type == 1 && readError == 0) {
        const size_t end = bytes.find_last_not_of('\0');
        FUZZ_CHECK(value == bytes.substr(0, end == std::string::npos ? 0 : end + 1));
    } else {
        FUZZ_CHECK(korrin::languageSection(value) == "ENG");
    }
    return 0;
}
