// Path rules of the settings helpers.
#include "oxasoft/settings/path_rules.h"

namespace oxa::settings {

std::string directory_part(std::string_view path) {
    const std::size_t cut = path.find_last_of("\\/");
    return cut == std::string_view::npos ? std::string() : std::string(path.substr(0, cut + 1));
}

}  // namespace oxa::settings
