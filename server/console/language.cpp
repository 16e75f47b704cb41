#include "server/console/language.h"

#include <algorithm>
#include <cstring>

namespace korrin {

std::string languageSection(std::string_view code) {
    std::string up(code);
    for (char& c : up) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    static const char* const german[] = {"DEU", "DEC", "DEL", "DEA", "DES"};
    static const char* const dutch[] = {"NLD", "NLB"};
    for (const char* g : german)
        if (up == g) return "DEU";
    for (const char* d : dutch)
        if (up == d) return "NLD";
    return "ENG";  // the English codes and every other code
}

std::optional<std::string> registryText(uint32_t type, std::string_view data, uint32_t reported,
                                        std::string_view callerText) {
    if (reported == 0) return std::nullopt;
    std::string_view bytes = data.substr(0, reported);
    if (!bytes.empty() && bytes.back() == '\0') bytes.remove_suffix(1);
    if (type == static_cast<uint32_t>(RegType::String)) return std::string(bytes);
    if (type == static_cast<uint32_t>(RegType::Dword)) {
        uint32_t v = 0;
        // Only the reported bytes: what lies past them in the caller's buffer is not the value.
        std::memcpy(&v, bytes.data(), std::min<size_t>(bytes.size(), sizeof v));
        return std::to_string(static_cast<int32_t>(v));
    }
    return std::string(callerText);
}

std::string langTextFromProfile(const char* buffer, unsigned copied) {
    if (copied <= 1) return std::string();
    return std::string(buffer, copied);
}

}  // namespace korrin
