// The head of one HTTP/1.x request, read as its bytes arrive: the status port's only input.
// Bounded: a head is at most 8 KiB; requests have no body.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/net/ip_address.h"

namespace korrin {

class HttpRequestReader {
  public:
    static constexpr size_t kMaxHead = 8 * 1024;
    enum class State { Incomplete, Complete, Bad };

    // Takes the next bytes; the state after them. Once Complete or Bad, more bytes change
    // nothing.
    State feed(std::string_view bytes);
    State state() const { return state_; }
    // When Bad: 400 (malformed, or HTTP/1.1 without one valid Host), 414 (request line too
    // long) or 431 (head too long).
    int errorStatus() const { return errorStatus_; }
    // When Complete.
    const std::string& method() const { return method_; }
    // The target without its query: "/..." ("http://host/x" reads as "/x"), or "*" (OPTIONS).
    const std::string& path() const { return path_; }
    // The name the request asks for, lower case, without its port and a name's trailing dot:
    // the authority of an absolute target, else the Host field ("[::1]", "127.0.0.1",
    // "localhost", ...). Empty only for an HTTP/1.0 request that names none.
    const std::string& host() const { return host_; }
    // What follows the target's "?", without it; empty when there is none.
    const std::string& query() const { return query_; }
    // The "Origin" and "Last-Event-ID" fields as sent (the last of each); empty when absent.
    const std::string& origin() const { return origin_; }
    const std::string& lastEventId() const { return lastEventId_; }

  private:
    State fail(int status);
    State parse();

    std::string head_;
    State state_ = State::Incomplete;
    int errorStatus_ = 0;
    std::string method_, path_, host_, query_, origin_, lastEventId_;
};

// Whether the status port answers to a request's host(): an IP literal, "localhost" or one of
// `names` (lower case). Any other name may be a stranger's that resolves to this computer (DNS
// rebinding), which would let the stranger's web pages read the answers.
bool hostServed(std::string_view host, const std::vector<std::string>& names);

// "StatusHosts": host names separated by commas, any case, a trailing dot or none; read in
// lower case without it.
ParsedList<std::string> parseHostNames(std::string_view text);

// "EventsOrigins": origins as a browser sends them ("https://board.example:8443"), separated by
// commas; read in lower case.
ParsedList<std::string> parseOrigins(std::string_view text);

}  // namespace korrin
