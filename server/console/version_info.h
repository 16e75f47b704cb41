// Reads a version resource (VS_VERSIONINFO) from its bytes: the fixed file version and the
// string values. Kept portable so the about box needs no extra system library.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korrin {

struct VersionInfo {
    unsigned major = 0, minor = 0, revision = 0, build = 0;
    std::string comments, companyName;
};

// Nothing when the bytes hold no fixed version record.
std::optional<VersionInfo> parseVersionResource(std::string_view bytes);

// "major.minor.revision", each in plain decimal.
std::string versionText(const VersionInfo& v);

}  // namespace korrin
