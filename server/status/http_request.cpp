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
bool isTarget(std::string_view s) {
    return !s.empty() && s[0] == '/' &&
           std::all_of(s.begin(), s.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The next line (LF or CR LF), taken off the front of `rest`.
std::string_view takeLine(std::string_view& rest) {
    const size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

}  // namespace

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
    if (!isToken(method) || !isTarget(target) || (version != "HTTP/1.1" && version != "HTTP/1.0"))
        return fail(400);
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
    }
    method_ = std::string(method);
    path_ = std::string(target.substr(0, target.find('?')));
    return state_ = State::Complete;
}

}  // namespace korrin
