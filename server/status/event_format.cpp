#include "server/status/event_format.h"

#include "server/status/status_page.h"

namespace korrin::events {

namespace {

// Whether the bytes are UTF-8 as RFC 3629 has it: no overlong forms, no surrogates, nothing
// past U+10FFFF.
bool validUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        size_t more;
        uint32_t min, cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            more = 1, min = 0x80, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2, min = 0x800, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3, min = 0x10000, cp = c & 0x07;
        } else {
            return false;
        }
        if (s.size() - i <= more) return false;
        for (size_t k = 1; k <= more; ++k) {
            const unsigned char n = static_cast<unsigned char>(s[i + k]);
            if ((n & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (n & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += more + 1;
    }
    return true;
}

}  // namespace

std::string eventText(uint64_t id, std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::string text = validUtf8(line) ? std::string(line) : latin1ToUtf8(std::string(line));
    std::string out = "id: " + std::to_string(id) + "\ndata: ";
    out.reserve(out.size() + text.size() + 8);
    for (char c : text) {
        if (c == '\r' || c == '\n')  // no line holds an LF; were one there, the same
            out += "\ndata: ";
        else if (c == '\0')
            out += "\xEF\xBF\xBD";
        else
            out += c;
    }
    out += "\n\n";
    return out;
}

std::string lostText(std::optional<uint64_t> count) {
    return "event: lost\ndata: " + (count ? std::to_string(*count) : std::string("unknown")) +
           "\n\n";
}

std::optional<uint64_t> parseEventId(std::string_view text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (n > (UINT64_MAX - digit) / 10) return std::nullopt;
        n = n * 10 + digit;
    }
    return n;
}

StreamStart parseStreamStart(std::string_view query, std::string_view lastEventId) {
    StreamStart s;
    std::optional<std::string_view> last, replay;
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
        const size_t eq = pair.find('=');
        const std::string_view key = pair.substr(0, eq);
        const std::string_view value = eq == std::string_view::npos ? "" : pair.substr(eq + 1);
        if (key == "last") last = value;
        if (key == "replay") replay = value;
    }
    if (!lastEventId.empty()) {
        last = lastEventId;
        replay.reset();
    }
    if (last) {
        s.after = parseEventId(*last);
        s.badId = !s.after;
    } else if (replay) {
        s.replay = parseEventId(*replay);
        s.badId = !s.replay;
    }
    return s;
}

}  // namespace korrin::events
