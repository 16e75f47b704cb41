// Text rules of the small system exports.
#include "oxasoft/system/text_rules.h"

namespace oxa::system {

std::string_view trim_blanks(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

std::string replace_ascii(std::string_view text, std::string_view find,
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

std::string debug_line(std::string_view text) {
    std::string line = "OXA: ";
    line.append(trim_blanks(text));
    return line;
}

}  // namespace oxa::system
