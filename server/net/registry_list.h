// How a registry value of any type reads as a list setting ("Bind", "AllowSenders", ...).
// Portable, so that every type's rule is tested without Windows.
#pragma once

#include <cstdint>
#include <string_view>

#include "server/net/relay_seams.h"

namespace korrin {

// type: the value's registry type (REG_SZ = 1, REG_EXPAND_SZ = 2, REG_MULTI_SZ = 7, ...);
// data: its bytes. Text types read as text (trailing NULs dropped, nothing expanded); each
// string of a REG_MULTI_SZ holds one or more entries; any other type is no list.
ListText listTextFromRegistry(uint32_t type, std::string_view data);

// The name of a registry type for the log ("REG_DWORD"; "type 42" for an unknown one).
std::string registryTypeName(uint32_t type);

}  // namespace korrin
