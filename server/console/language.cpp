#include "server/console/language.h"

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

std::string langTextFromProfile(const char* buffer, unsigned copied) {
    if (copied <= 1) return std::string();
    return std::string(buffer, copied);
}

}  // namespace korrin
