#pragma once
// The short Windows version name that GET_WIN_VERSION reports, from the fields of the
// platform's version record.

#include <cstdint>
#include <string>
#include <string_view>

namespace oxa::system {

// Numbers are compared unsigned. NT names carry the service-pack text after a blank, also
// when that text is empty (the name then ends in a blank). Unknown platforms give the
// platform id in decimal; unknown versions of the two known platforms give the empty text.
std::string win_version_name(std::uint32_t platform_id, std::uint32_t major, std::uint32_t minor,
                             std::string_view service_pack);

}  // namespace oxa::system
