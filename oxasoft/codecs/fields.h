// The n-th field of a delimited text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace oxa::codecs {

// Field n (from 1; a negative n counts from the end, -1 is the last) of text. A non-empty
// delimiter splits at each occurrence of the whole delimiter, fields kept exactly; an empty
// delimiter reads comma-separated fields (leading blanks skipped, trailing blanks dropped,
// double quotes enclose a field that may hold commas). No such field gives "".
std::string piece(std::string_view text, std::string_view delimiter, std::int32_t n);

}  // namespace oxa::codecs
