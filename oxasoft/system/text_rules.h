#pragma once
// Text rules of the small system exports, kept portable so they are tested natively.

#include <string>
#include <string_view>

namespace oxa::system {

// Leading and trailing blanks (spaces only) removed; other white space is kept.
std::string_view trim_blanks(std::string_view text);

// Every character equal to the whole `find` text becomes `replacement`. A `find` text that is
// empty or longer than one character never matches, so the text comes back unchanged.
std::string replace_ascii(std::string_view text, std::string_view find,
                          std::string_view replacement);

// The line DEBUG_PRINT hands to the debugger: "OXA: " and the trimmed text, no line end.
std::string debug_line(std::string_view text);

}  // namespace oxa::system
