// The n-th field of a delimited text.
#include "oxasoft/codecs/fields.h"

#include <vector>

namespace oxa::codecs {

namespace {

std::vector<std::string_view> split_exact(std::string_view text, std::string_view delimiter) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(delimiter, start)) != std::string_view::npos;
         start = at + delimiter.size()) {
        fields.push_back(text.substr(start, at - start));
    }
    fields.push_back(text.substr(start));
    return fields;
}

std::vector<std::string_view> split_comma_fields(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t pos = 0;
    for (;;) {
        while (pos < text.size() && text[pos] == ' ') ++pos;
        std::size_t comma;
        if (pos < text.size() && text[pos] == '"') {
            const std::size_t close = text.find('"', pos + 1);
            if (close == std::string_view::npos) {
                // An unclosed quote runs to the end, commas included.
                fields.push_back(text.substr(pos + 1));
                return fields;
            }
            fields.push_back(text.substr(pos + 1, close - pos - 1));
            comma = text.find(',', close + 1);
        } else {
            comma = text.find(',', pos);
            std::string_view field = text.substr(
                pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos);
            while (!field.empty() && field.back() == ' ') field.remove_suffix(1);
            fields.push_back(field);
        }
        if (comma == std::string_view::npos) return fields;
        pos = comma + 1;
    }
}

}  // namespace

std::string piece(std::string_view text, std::string_view delimiter, std::int32_t n) {
    const std::vector<std::string_view> fields =
        delimiter.empty() ? split_comma_fields(text) : split_exact(text, delimiter);
    const auto count = static_cast<std::int64_t>(fields.size());
    std::int64_t index = n < 0 ? n + count + 1 : n;  // with k separators: n + k + 2
    if (index < 1 || index > count) return {};
    return std::string(fields[static_cast<std::size_t>(index - 1)]);
}

}  // namespace oxa::codecs
