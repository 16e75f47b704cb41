#include "server/status/http_request.h"

#include <algorithm>
#include <cctype>

namespace korrin {

namespace {

// RFC 9110 token characters.
bool isTokenChar(unsigned char c) {
    return std::isalnum(c) ||
           std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool isToken(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return isTokenChar(static_cast<unsigned char>(c));
    });
}

// Visible ASCII only: no blanks, controls or bytes past 0x7E in a target.
bool isVisible(std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

// A host name as typed in a URL; no percent escapes, which no name we answer to needs.
bool isHostName(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
    });
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// A host name in lower case, without the one trailing dot of a fully qualified name, which names
// the same host ("relay.lan." is "relay.lan"). A name that is only dots, or ends in two, keeps
// them and is no name this server answers to.
std::string hostKey(std::string_view name) {
    if (name.size() > 1 && name.back() == '.' && name[name.size() - 2] != '.')
        name.remove_suffix(1);
    return lower(name);
}

// The next line (LF or CR LF), taken off the front of `rest`.
std::string_view takeLine(std::string_view& rest) {
    const size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// "host[:port]" (a Host field, or the authority of an absolute target): the host in lower case,
// brackets kept around an IPv6 address, or nothing when it is none.
std::optional<std::string> authorityHost(std::string_view authority) {
    std::string_view host, port;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        const std::optional<IpAddress> ip = parseIpAddress(authority.substr(1, close - 1));
        if (!ip || !ip->v6) return std::nullopt;
        host = authority.substr(0, close + 1);
        port = authority.substr(close + 1);
    } else {
        const size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        port = colon == std::string_view::npos ? "" : authority.substr(colon);
        if (!isHostName(host)) return std::nullopt;
    }
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (!port.empty() && (port[0] != ':' || !std::all_of(port.begin() + 1, port.end(), digit)))
        return std::nullopt;
    return host.front() == '[' ? lower(host) : hostKey(host);
}

}  // namespace

bool hostServed(std::string_view host, const std::vector<std::string>& names) {
    // No name at all: an HTTP/1.0 client, which no browser is.
    if (host.empty() || host.front() == '[' || host == "localhost" || parseIpAddress(host))
        return true;
    return std::find(names.begin(), names.end(), host) != names.end();
}

ParsedList<std::string> parseHostNames(std::string_view text) {
    return parseTextList(text, [](std::string_view entry) -> std::optional<std::string> {
        if (!isHostName(entry)) return std::nullopt;
        return hostKey(entry);
    });
}

ParsedList<std::string> parseOrigins(std::string_view text) {
    return parseTextList(text, [](std::string_view entry) -> std::optional<std::string> {
        if (!entry.empty() && entry.back() == '/') entry.remove_suffix(1);
        const std::string scheme = lower(entry.substr(0, entry.find("://")));
        if ((scheme != "http" && scheme != "https") || entry.find("://") == std::string_view::npos)
            return std::nullopt;
        const std::string_view authority = entry.substr(scheme.size() + 3);
        if (authority.empty() || !authorityHost(authority)) return std::nullopt;
        return scheme + "://" + lower(authority);
    });
}

HttpRequestReader::State HttpRequestReader::fail(int status) {
    errorStatus_ = status;
    return state_ = State::Bad;
}

HttpRequestReader::State HttpRequestReader::feed(std::string_view bytes) {
    if (state_ != State::Incomplete) return state_;
    const size_t searchFrom = head_.size() < 3 ? 0 : head_.size() - 3;
    head_.append(bytes.substr(0, kMaxHead + 4 - std::min(head_.size(), kMaxHead + 4)));
    // The head ends at an empty line.
    size_t end = std::string::npos;
    for (size_t i = searchFrom; i < head_.size(); ++i) {
        if (head_[i] != '\n') continue;
        const size_t prev = i > 0 && head_[i - 1] == '\r' ? i - 1 : i;
        if (prev > 0 && head_[prev - 1] == '\n') {
            end = i + 1;
            break;
        }
    }
    if (end == std::string::npos) {
        if (head_.size() <= kMaxHead) return state_;
        return fail(head_.find('\n') == std::string::npos ? 414 : 431);
    }
    if (end > kMaxHead) return fail(head_.find('\n') >= kMaxHead ? 414 : 431);
    head_.resize(end);
    return parse();
}

HttpRequestReader::State HttpRequestReader::parse() {
    std::string_view rest(head_);
    // Blank lines before the request line are allowed (RFC 9112, 2.2).
    std::string_view line;
    while ((line = takeLine(rest)).empty() && !rest.empty()) {
    }
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos) return fail(400);
    const std::string_view method = line.substr(0, sp1);
    std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = line.substr(sp2 + 1);
    // Any HTTP/1.x: the answer is 1.1, which a 1.x client reads.
    if (!isToken(method) || !isVisible(target) || version.size() != 8 ||
        version.substr(0, 7) != "HTTP/1." || !std::isdigit(static_cast<unsigned char>(version[7])))
        return fail(400);
    // The absolute form, as sent to a proxy: its authority names the host, not the Host field.
    std::optional<std::string> host;
    std::string path;
    if (lower(target.substr(0, 7)) == "http://") {
        target.remove_prefix(7);
        const size_t pathAt = std::min(target.find_first_of("/?"), target.size());
        host = authorityHost(target.substr(0, pathAt));
        if (!host) return fail(400);
        target.remove_prefix(pathAt);
        if (target.empty() || target[0] == '?') path = "/";
    } else if (target[0] != '/' && !(target == "*" && method == "OPTIONS")) {
        return fail(400);
    }
    bool hostField = false;
    for (;;) {
        const std::string_view field = takeLine(rest);
        if (field.empty()) break;
        const size_t colon = field.find(':');
        // No folded lines, no blank before the colon, a token for a name.
        if (colon == std::string_view::npos || !isToken(field.substr(0, colon))) return fail(400);
        const std::string name = lower(field.substr(0, colon));
        std::string_view value = field.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.remove_suffix(1);
        // A request with a body is none of ours: its bytes would be read as the next request.
        if (name == "transfer-encoding" || (name == "content-length" && value != "0"))
            return fail(400);
        if (name == "origin") origin_ = std::string(value);
        if (name == "last-event-id") lastEventId_ = std::string(value);
        if (name == "host") {
            // One, and a valid one, even where the target's authority overrides it.
            const std::optional<std::string> named = authorityHost(value);
            if (hostField || !named) return fail(400);
            hostField = true;
            if (!host) host = named;
        }
    }
    if (!hostField && version[7] != '0') return fail(400);  // HTTP/1.1 requires it
    method_ = std::string(method);
    const size_t query = target.find('?');
    path_ = path + std::string(target.substr(0, query));
    query_ = query == std::string_view::npos ? "" : std::string(target.substr(query + 1));
    host_ = host.value_or("");
    return state_ = State::Complete;
}

}  // namespace korrin
