#include "server/win32/registry_list.h"

#include <algorithm>

namespace korrin {

namespace {
constexpr uint32_t kSz = 1, kExpandSz = 2, kMultiSz = 7;

// A text value's bytes without the NULs that end it: stored with one, several or none.
std::string withoutEndNuls(std::string_view data) {
    while (!data.empty() && data.back() == '\0') data.remove_suffix(1);
    return std::string(data);
}
}  // namespace

std::string registryTypeName(uint32_t type) {
    static const char* const names[] = {"REG_NONE",
                                        "REG_SZ",
                                        "REG_EXPAND_SZ",
                                        "REG_BINARY",
                                        "REG_DWORD",
                                        "REG_DWORD_BIG_ENDIAN",
                                        "REG_LINK",
                                        "REG_MULTI_SZ",
                                        "REG_RESOURCE_LIST",
                                        "REG_FULL_RESOURCE_DESCRIPTOR",
                                        "REG_RESOURCE_REQUIREMENTS_LIST",
                                        "REG_QWORD"};
    if (type < sizeof names / sizeof names[0]) return names[type];
    return "type " + std::to_string(type);
}

ListText listTextFromRegistry(uint32_t type, std::string_view data) {
    ListText v;
    if (type == kSz || type == kExpandSz) {
        v.text = withoutEndNuls(data);
    } else if (type == kMultiSz) {
        const bool hasBytes = !data.empty();
        // The whole value by its length: an empty string (from .reg hex(7) imports and
        // scripts) is skipped, never taken for the end, so no entry after it is lost.
        while (!data.empty()) {
            const size_t end = std::min(data.find('\0'), data.size());
            if (end > 0) {
                if (!v.text.empty()) v.text += ", ";
                v.text.append(data.substr(0, end));
            }
            data.remove_prefix(std::min(end + 1, data.size()));
        }
        // Bytes without an entry are a damaged list, which must not read as "everyone".
        if (hasBytes && v.text.empty())
            v.error = "a REG_MULTI_SZ value without an entry is no list";
    } else {
        v.error = "a " + registryTypeName(type) + " value is no list";
    }
    return v;
}

std::string textFromRegistry(long readError, uint32_t type, std::string_view data) {
    if (readError != 0) return "(cannot be read: error " + std::to_string(readError) + ")";
    if (type != kSz) return "(a " + registryTypeName(type) + " value, not REG_SZ)";
    return withoutEndNuls(data);
}

}  // namespace korrin
