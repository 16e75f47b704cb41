// How a registry value of any type reads as a setting: a list ("Bind", "AllowSenders", ...) or
// a text ("Port", the user's language code). Portable, so that every type's rule is tested
// without Windows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "server/net/relay_seams.h"

namespace korrin {

// type: the value's registry type (REG_SZ = 1, REG_EXPAND_SZ = 2, REG_MULTI_SZ = 7, ...);
// data: its bytes. Text types read as text (trailing NULs dropped, nothing expanded); each
// string of a REG_MULTI_SZ holds one or more entries, empty strings are skipped, and one with
// bytes but no entry is no list; any other type is no list.
ListText listTextFromRegistry(uint32_t type, std::string_view data);

// A text setting ("Port", "Timer", "StatusPort", the user's "sLanguage") that exists.
// readError: the registry's code for reading it (0: read). A REG_SZ reads as its text without
// the NULs that end it; another type or a failed read reads as a text in brackets that says
// why, which is never a number nor a language code: the setting is taken for wrong, its port
// stays closed, and the log line that quotes it names the type.
std::string textFromRegistry(long readError, uint32_t type, std::string_view data);

// The name of a registry type for the log ("REG_DWORD"; "type 42" for an unknown one).
std::string registryTypeName(uint32_t type);

}  // namespace korrin
