#pragma once
// Dial strings: the letter codes of MAKE_ENB_DIAL and the test of IS_NUMBER.

#include <string>
#include <string_view>

namespace oxa::telephony {

// One letter per character: "1".."9" -> "A".."I", "0" -> "J", "*" or "B" -> "K",
// "#" or "C" -> "L"; every other character stays as it is.
std::string enb_dial(std::string_view text);

// True when the text is not empty and holds only "0".."9", "*" and "#".
bool is_dial_string(std::string_view text);

}  // namespace oxa::telephony
