// Version name table of GET_WIN_VERSION.
#include "oxasoft/system/win_version.h"

namespace oxa::system {
namespace {

constexpr std::uint32_t kPlatformWindows = 1;  // VER_PLATFORM_WIN32_WINDOWS
constexpr std::uint32_t kPlatformNt = 2;       // VER_PLATFORM_WIN32_NT

std::string with_service_pack(const char* name, std::string_view service_pack) {
    std::string out = name;
    out.append(service_pack);
    return out;
}

}  // namespace

std::string win_version_name(std::uint32_t platform_id, std::uint32_t major, std::uint32_t minor,
                             std::string_view service_pack) {
    if (platform_id == kPlatformWindows) {
        if (minor <= 9) return "W95";
        if (minor == 10) return "W98";
        if (minor == 90) return "ME";
        return {};
    }
    if (platform_id == kPlatformNt) {
        switch (major) {
            case 3:
                return with_service_pack("NT 3.51 ", service_pack);
            case 4:
                return with_service_pack("NT 4.0 ", service_pack);
            case 5:
                if (minor == 0) return with_service_pack("Windows 2000 ", service_pack);
                if (minor == 1) return with_service_pack("Windows XP ", service_pack);
                return {};
            default:
                return {};
        }
    }
    return std::to_string(platform_id);
}

}  // namespace oxa::system
