// Feature codes: two packed bytes, one dial character per nibble, to their dial text.
#pragma once

#include <string>
#include <string_view>

namespace oxa::codecs {

// Uses the first and the last byte of code (one byte counts as both); nibble B dials "*",
// C dials "#", and F ends the code.
std::string feature_code_text(std::string_view code);

}  // namespace oxa::codecs
