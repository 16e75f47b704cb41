// Text rules of the small system exports.
#include "text_rules.h"

namespace oxasoft {

std::string_view TrimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

std::string ReplaceAscii(std::string_view text, std::string_view find,
                         std::string_view replacement) {
    if (find.size() != 1) return std::string(text);
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == find[0]) {
            out.append(replacement);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string DebugLine(std::string_view text) {
    std::string line = "OXA: ";
    line.append(TrimBlanks(text));
    return line;
}

}  // namespace oxasoft
