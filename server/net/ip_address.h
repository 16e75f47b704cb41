// IPv4 and IPv6 addresses and prefixes as operators type them: parsing, matching, display.
// Portable, so the rules of who may connect are tested without Windows.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korrin {

struct IpAddress {
    bool v6 = false;
    std::array<uint8_t, 16> bytes{};  // IPv4 in the first four

    size_t size() const { return v6 ? 16 : 4; }
    // An IPv4 peer seen on an IPv6 socket (::ffff:a.b.c.d) is that IPv4 address.
    IpAddress unmapped() const;
    // Dotted decimal, or the shortest IPv6 form (lower case, longest zero run as "::").
    std::string text() const;
    bool operator==(const IpAddress& o) const { return v6 == o.v6 && bytes == o.bytes; }
};

IpAddress ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d);

// A literal: a.b.c.d (decimal, no leading zeros) or any IPv6 text form, a dotted tail
// included; no zone, no brackets, no blanks.
std::optional<IpAddress> parseIpAddress(std::string_view text);

struct IpPrefix {
    IpAddress address;
    int bits = 0;
    bool contains(const IpAddress& a) const;
};

// An address (all its bits) or address/bits. Host bits past the prefix are ignored.
std::optional<IpPrefix> parseIpPrefix(std::string_view text);

// A comma-separated list as stored in a setting. Blanks around entries are ignored, and so
// are empty entries; a text of blanks only is the empty list.
template <typename T>
struct ParsedList {
    std::vector<T> entries;
    std::optional<std::string> badEntry;  // the first entry that is not valid, as typed
};
ParsedList<IpAddress> parseAddressList(std::string_view text);
ParsedList<IpPrefix> parsePrefixList(std::string_view text);
// Other entries by the same rules: `entry` gives an entry's stored form, or nothing when it
// is wrong.
ParsedList<std::string> parseTextList(std::string_view text,
                                      std::optional<std::string> (*entry)(std::string_view));

// Who may connect to one port: everyone when the setting is empty.
class AllowList {
  public:
    AllowList() = default;
    explicit AllowList(std::vector<IpPrefix> prefixes) : prefixes_(std::move(prefixes)) {}
    bool allows(const IpAddress& peer) const;

  private:
    std::vector<IpPrefix> prefixes_;
};

}  // namespace korrin
