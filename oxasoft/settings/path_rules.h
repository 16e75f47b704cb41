// Path rules of the settings helpers.
#pragma once

#include <string>
#include <string_view>

namespace oxa::settings {

// The directory part of path with its trailing separator ("\" or "/", whichever comes last),
// or "" when the path has none.
std::string directory_part(std::string_view path);

}  // namespace oxa::settings
