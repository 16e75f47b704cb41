#include "server/net/registry_list.h"

namespace korrin {

namespace {
constexpr uint32_t kSz = 1, kExpandSz = 2, kMultiSz = 7;
}

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
        while (!data.empty() && data.back() == '\0') data.remove_suffix(1);
        v.text = std::string(data);
    } else if (type == kMultiSz) {
        // Strings end at NUL; an empty string ends the list.
        while (!data.empty() && data.front() != '\0') {
            const size_t end = data.find('\0');
            if (!v.text.empty()) v.text += ", ";
            v.text.append(data.substr(0, end));
            data.remove_prefix(end == std::string_view::npos ? data.size() : end + 1);
        }
    } else {
        v.error = "a " + registryTypeName(type) + " value is no list";
    }
    return v;
}

}  // namespace korrin
