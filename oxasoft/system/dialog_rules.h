#pragma once
// Portable rules of the open-file dialog export: the filter list and the default flags.

#include <cstdint>
#include <string>
#include <string_view>

namespace oxa::system {

// OFN_HIDEREADONLY | OFN_FILEMUSTEXIST, used (and written back) when the caller passes 0.
constexpr std::int32_t kDefaultOpenFlags = 0x1004;

// "Text|*.txt|All|*.*" as the dialog wants it: every "|" a NUL, the list closed by two NULs.
// The area is as long as the list needs, so a long list reaches the dialog whole.
std::string filter_area(std::string_view filter);

}  // namespace oxa::system
