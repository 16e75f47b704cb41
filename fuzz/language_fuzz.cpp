// The console's text rules: the language-code table, the lookup rule of the language texts
// and the rule that turns the bytes of a registry value into text.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>

#include "server/console/language.h"
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

    // Registry bytes: only the reported bytes count, one trailing zero byte goes.
    const uint32_t type = in.ConsumeIntegralInRange<uint32_t>(0, 8);
    std::string bytes = in.ConsumeRandomLengthString(64);
    const uint32_t reported = in.ConsumeIntegralInRange<uint32_t>(0, bytes.size());
    const std::string caller = in.ConsumeRandomLengthString(16);
    const auto value = korrin::registryText(type, bytes, reported, caller);
    FUZZ_CHECK(value.has_value() == (reported != 0));
    if (!value) return 0;
    std::string valid = bytes.substr(0, reported);
    if (!valid.empty() && valid.back() == '\0') valid.pop_back();
    if (type == 1) {
        FUZZ_CHECK(*value == valid);
    } else if (type == 4) {
        uint32_t v = 0;
        std::memcpy(&v, valid.data(), std::min<size_t>(valid.size(), sizeof v));
        FUZZ_CHECK(*value == std::to_string(static_cast<int32_t>(v)));
    } else {
        FUZZ_CHECK(*value == caller);
    }
    // Bytes past the reported length never change the result.
    for (size_t i = reported; i < bytes.size(); ++i) bytes[i] = static_cast<char>(~bytes[i]);
    FUZZ_CHECK(korrin::registryText(type, bytes, reported, caller) == value);
    return 0;
}
