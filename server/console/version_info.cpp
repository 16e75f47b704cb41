// Layout of a compiled version resource: nested blocks of {wLength, wValueLength, wType,
// UTF-16 key, padding to 4 bytes, value, padding, children}.
#include "server/console/version_info.h"

#include <cstdint>

namespace korrin {

namespace {

uint16_t u16(std::string_view b, size_t at) {
    if (at + 2 > b.size()) return 0;
    return static_cast<uint16_t>(static_cast<unsigned char>(b[at]) |
                                 static_cast<unsigned char>(b[at + 1]) << 8);
}
uint32_t u32(std::string_view b, size_t at) {
    return u16(b, at) | static_cast<uint32_t>(u16(b, at + 2)) << 16;
}
size_t align4(size_t n) {
    return (n + 3) & ~size_t(3);
}

// A UTF-16 text from `at` up to its NUL, narrowed (the texts of our resource are ASCII).
std::string utf16(std::string_view b, size_t at, size_t end, size_t* after) {
    std::string s;
    size_t i = at;
    for (; i + 1 < end; i += 2) {
        uint16_t c = u16(b, i);
        if (c == 0) {
            i += 2;
            break;
        }
        s += c < 0x100 ? static_cast<char>(c) : '?';
    }
    if (after) *after = i;
    return s;
}

struct Block {
    size_t start, end, valueAt, childrenAt;
    uint16_t valueLength, type;
    std::string key;
};

std::optional<Block> readBlock(std::string_view b, size_t at, size_t limit) {
    if (at + 6 > limit) return std::nullopt;
    Block k;
    k.start = at;
    uint16_t length = u16(b, at);
    if (length < 6 || at + length > limit) return std::nullopt;
    k.end = at + length;
    k.valueLength = u16(b, at + 2);
    k.type = u16(b, at + 4);
    size_t afterKey = 0;
    k.key = utf16(b, at + 6, k.end, &afterKey);
    k.valueAt = align4(afterKey);
    // Text values count UTF-16 characters, binary ones bytes.
    size_t valueBytes = k.type == 1 ? k.valueLength * 2u : k.valueLength;
    k.childrenAt = align4(k.valueAt + valueBytes);
    return k;
}

}  // namespace

std::optional<VersionInfo> parseVersionResource(std::string_view b) {
    auto root = readBlock(b, 0, b.size());
    if (!root || root->key != "VS_VERSION_INFO" || root->valueLength < 52) return std::nullopt;
    const size_t f = root->valueAt;
    if (u32(b, f) != 0xFEEF04BD) return std::nullopt;
    VersionInfo v;
    const uint32_t ms = u32(b, f + 8), ls = u32(b, f + 12);
    v.major = ms >> 16;
    v.minor = ms & 0xFFFF;
    v.revision = ls >> 16;
    v.build = ls & 0xFFFF;
    // StringFileInfo -> one table per language -> the strings.
    for (size_t at = root->childrenAt; at < root->end;) {
        auto info = readBlock(b, at, root->end);
        if (!info) break;
        if (info->key == "StringFileInfo") {
            for (size_t t = info->childrenAt; t < info->end;) {
                auto table = readBlock(b, t, info->end);
                if (!table) break;
                for (size_t s = table->childrenAt; s < table->end;) {
                    auto str = readBlock(b, s, table->end);
                    if (!str) break;
                    std::string value = utf16(b, str->valueAt, str->end, nullptr);
                    if (str->key == "Comments") v.comments = value;
                    if (str->key == "CompanyName") v.companyName = value;
                    s = align4(str->end);
                }
                t = align4(table->end);
            }
        }
        at = align4(info->end);
    }
    return v;
}

std::string versionText(const VersionInfo& v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." +
           std::to_string(v.revision);
}

}  // namespace korrin
