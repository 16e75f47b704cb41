#pragma once
// Dial strings: the letter codes of MAKE_ENB_DIAL and the test of IS_NUMBER.

#include <string>
#include <string_view>

namespace oxasoft {

// One letter per character: "1".."9" -> "A".."I", "0" -> "J", "*" or "B" -> "K",
// "#" or "C" -> "L"; every other character stays as it is.
std::string MakeEnbDial(std::string_view text);

// True when the text is not empty and holds only "0".."9", "*" and "#".
bool IsDialString(std::string_view text);

}  // namespace oxasoft
