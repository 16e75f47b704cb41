#include "server/net/ip_address.h"

#include <cstdio>
#include <vector>

namespace korrin {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexValue(char c) {
    if (isDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view trimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Decimal 0..max without sign or leading zeros.
std::optional<int> smallNumber(std::string_view s, int max) {
    if (s.empty() || s.size() > 3 || (s.size() > 1 && s[0] == '0')) return std::nullopt;
    int v = 0;
    for (char c : s) {
        if (!isDigit(c)) return std::nullopt;
        v = v * 10 + (c - '0');
    }
    if (v > max) return std::nullopt;
    return v;
}

bool parseV4(std::string_view s, uint8_t* out) {
    for (int i = 0; i < 4; ++i) {
        const size_t dot = i < 3 ? s.find('.') : s.size();
        if (dot == std::string_view::npos) return false;
        std::optional<int> v = smallNumber(s.substr(0, dot), 255);
        if (!v) return false;
        out[i] = static_cast<uint8_t>(*v);
        s.remove_prefix(i < 3 ? dot + 1 : dot);
    }
    return s.empty();
}

// One group of an IPv6 text: one to four hex digits.
std::optional<uint16_t> hexGroup(std::string_view g) {
    if (g.empty() || g.size() > 4) return std::nullopt;
    unsigned v = 0;
    for (char c : g) {
        const int h = hexValue(c);
        if (h < 0) return std::nullopt;
        v = v * 16 + static_cast<unsigned>(h);
    }
    return static_cast<uint16_t>(v);
}

// Groups separated by single ':' (none for an empty text), appended as 16-bit words; the last
// may be a dotted IPv4 tail, two words.
bool parseGroups(std::string_view s, std::vector<uint16_t>& words) {
    while (!s.empty()) {
        const size_t colon = s.find(':');
        const std::string_view group = s.substr(0, colon);
        if (colon == std::string_view::npos && group.find('.') != std::string_view::npos) {
            uint8_t v4[4];
            if (!parseV4(group, v4)) return false;
            words.push_back(static_cast<uint16_t>(v4[0] << 8 | v4[1]));
            words.push_back(static_cast<uint16_t>(v4[2] << 8 | v4[3]));
            return true;
        }
        const std::optional<uint16_t> word = hexGroup(group);
        if (!word || words.size() >= 8) return false;
        words.push_back(*word);
        if (colon == std::string_view::npos) return true;
        s.remove_prefix(colon + 1);
        if (s.empty()) return false;  // a trailing single ':'
    }
    return true;
}

// Eight groups, or fewer around one "::" that stands for the zero groups left out.
bool parseV6(std::string_view s, uint8_t* out) {
    std::vector<uint16_t> head, tail;
    const size_t gap = s.find("::");
    if (gap == std::string_view::npos) {
        if (!parseGroups(s, head) || head.size() != 8) return false;
    } else {
        const std::string_view before = s.substr(0, gap), after = s.substr(gap + 2);
        // A dotted tail belongs at the end only.
        if (before.find('.') != std::string_view::npos ||
            after.find("::") != std::string_view::npos || !parseGroups(before, head) ||
            !parseGroups(after, tail) || head.size() + tail.size() > 7)
            return false;
    }
    head.resize(8 - tail.size(), 0);
    head.insert(head.end(), tail.begin(), tail.end());
    for (int i = 0; i < 8; ++i) {
        out[2 * i] = static_cast<uint8_t>(head[i] >> 8);
        out[2 * i + 1] = static_cast<uint8_t>(head[i]);
    }
    return true;
}

template <typename T, typename Parse>
ParsedList<T> parseList(std::string_view text, Parse parse) {
    ParsedList<T> list;
    for (std::string_view rest = text;;) {
        const size_t comma = rest.find(',');
        const std::string_view entry = trimBlanks(rest.substr(0, comma));
        if (!entry.empty()) {
            std::optional<T> v = parse(entry);
            if (!v) {
                list.badEntry = std::string(entry);
                return list;
            }
            list.entries.push_back(*v);
        }
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    // Commas without an entry name nobody; they must not read as "no limit".
    if (list.entries.empty() && !trimBlanks(text).empty())
        list.badEntry = std::string(trimBlanks(text));
    return list;
}

}  // namespace

IpAddress ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    IpAddress r;
    r.bytes[0] = a, r.bytes[1] = b, r.bytes[2] = c, r.bytes[3] = d;
    return r;
}

IpAddress IpAddress::unmapped() const {
    if (!v6) return *this;
    for (int i = 0; i < 10; ++i)
        if (bytes[i] != 0) return *this;
    if (bytes[10] != 0xff || bytes[11] != 0xff) return *this;
    return ipv4(bytes[12], bytes[13], bytes[14], bytes[15]);
}

std::string IpAddress::text() const {
    char buf[48];
    if (!v6) {
        std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
        return buf;
    }
    uint16_t g[8];
    for (int i = 0; i < 8; ++i) g[i] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    // The longest run of two or more zero groups, the first of equal ones, becomes "::".
    int best = -1, bestLen = 1;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && g[j] == 0) ++j;
        if (j - i > bestLen) best = i, bestLen = j - i;
        i = j == i ? i + 1 : j;
    }
    std::string s;
    for (int i = 0; i < 8; ++i) {
        if (i == best) {
            s += "::";
            i += bestLen - 1;
            continue;
        }
        if (!s.empty() && s.back() != ':') s += ':';
        std::snprintf(buf, sizeof buf, "%x", g[i]);
        s += buf;
    }
    return s;
}

std::optional<IpAddress> parseIpAddress(std::string_view text) {
    IpAddress a;
    if (text.find(':') == std::string_view::npos) {
        if (!parseV4(text, a.bytes.data())) return std::nullopt;
        return a;
    }
    a.v6 = true;
    if (!parseV6(text, a.bytes.data())) return std::nullopt;
    return a;
}

bool IpPrefix::contains(const IpAddress& peer) const {
    const IpAddress p = peer.unmapped();
    if (p.v6 != address.v6) return false;
    for (int bit = 0; bit < bits; bit += 8) {
        const int n = bits - bit < 8 ? bits - bit : 8;
        const uint8_t mask = static_cast<uint8_t>(0xff00 >> n);
        if ((p.bytes[bit / 8] & mask) != (address.bytes[bit / 8] & mask)) return false;
    }
    return true;
}

std::optional<IpPrefix> parseIpPrefix(std::string_view text) {
    const size_t slash = text.find('/');
    std::optional<IpAddress> a = parseIpAddress(text.substr(0, slash));
    if (!a) return std::nullopt;
    IpPrefix p{a->unmapped(), static_cast<int>(a->unmapped().size() * 8)};
    if (slash == std::string_view::npos) return p;
    std::optional<int> bits = smallNumber(text.substr(slash + 1), static_cast<int>(a->size() * 8));
    if (!bits) return std::nullopt;
    // A mapped IPv4 prefix counts its bits as IPv6 does; one wider than the mapped range
    // stays an IPv6 prefix.
    if (a->v6 && !p.address.v6)
        return *bits >= 96 ? IpPrefix{p.address, *bits - 96} : IpPrefix{*a, *bits};
    p.bits = *bits;
    return p;
}

ParsedList<IpAddress> parseAddressList(std::string_view text) {
    return parseList<IpAddress>(text, parseIpAddress);
}

ParsedList<IpPrefix> parsePrefixList(std::string_view text) {
    return parseList<IpPrefix>(text, parseIpPrefix);
}

ParsedList<std::string> parseTextList(std::string_view text,
                                      std::optional<std::string> (*entry)(std::string_view)) {
    return parseList<std::string>(text, entry);
}

bool AllowList::allows(const IpAddress& peer) const {
    if (prefixes_.empty()) return true;
    for (const IpPrefix& p : prefixes_)
        if (p.contains(peer)) return true;
    return false;
}

}  // namespace korrin
