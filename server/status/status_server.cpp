#include "server/status/status_server.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "server/net/leading_number.h"
#include "server/status/board_page.h"

namespace korrin {

namespace {

std::string lowerCase(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

constexpr size_t kRateSeconds = 10;  // the rates average this many seconds

const char* reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 421:
            return "Misdirected Request";
        case 414:
            return "URI Too Long";
        case 431:
            return "Request Header Fields Too Large";
        case 503:
            return "Service Unavailable";
    }
    return "Error";
}

struct Answer {
    int status = 200;
    std::string type = "text/plain; charset=utf-8";
    std::string body;
    std::string extra;  // further header lines, each with CR LF
};

std::string serialize(const Answer& a, bool withBody) {
    std::string out = "HTTP/1.1 " + std::to_string(a.status) + " " + reason(a.status) +
                      "\r\nContent-Type: " + a.type +
                      "\r\nContent-Length: " + std::to_string(a.body.size()) +
                      "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
                      "Referrer-Policy: no-referrer\r\nConnection: close\r\n" +
                      a.extra + "\r\n";
    if (withBody) out += a.body;
    return out;
}

double seconds(Clock::TimePoint::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

StatusSettings readStatusSettings(SettingsStore& store) {
    StatusSettings s;
    s.port = store.get("StatusPort", "");
    s.events = store.get("Events", "");
    s.bind = store.getList("StatusBind");
    s.allow = store.getList("AllowStatus");
    s.hosts = store.getList("StatusHosts");
    s.eventsOrigins = store.getList("EventsOrigins");
    return s;
}

StatusServer::StatusServer(Listener& listener, Relay& relay, SettingsStore& settings,
                           std::string version)
    : listener_(listener),
      relay_(relay),
      settings_(settings),
      version_(std::move(version)),
      startedAt_(relay.clock().now()),
      startedWall_(relay.clock().wallNow()) {
    relay_.addOutput(streams_);
}

StatusServer::~StatusServer() {
    relay_.removeOutput(streams_);
}

void StatusServer::log(int code, const std::string& text) {
    relay_.logError(code, text);
}

void StatusServer::applySettings() {
    const StatusSettings s = readStatusSettings(settings_);
    if (everApplied_ && s == applied_) return;
    everApplied_ = true;
    applied_ = s;
    start();
}

// Empty or 0: the status port is off, and nothing about it is logged.
bool StatusServer::switchedOff() const {
    std::string_view text = applied_.port;
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    const std::optional<double> number = leadingNumber(text);
    return text.empty() || (number && roundHalfEven(*number) == 0);
}

// The port number, or nothing when the setting is wrong (logged).
std::optional<int32_t> StatusServer::portSetting() {
    const std::optional<int32_t> port = listenPortsFromText(applied_.port).input;
    if (!port)
        log(relay_.errorNumbers().badSetting,
            "StatusPort: \"" + applied_.port +
                "\" is no port number; the status port stays closed");
    return port;
}

// A list setting that is wrong is logged; true then.
bool StatusServer::listWrong(const char* key, const ListText& value,
                             const std::optional<std::string>& badEntry, const char* entryKind,
                             const char* consequence) {
    std::string why = value.error;
    if (why.empty() && badEntry) why = "\"" + *badEntry + "\" is not " + entryKind;
    if (why.empty()) return false;
    log(relay_.errorNumbers().badSetting, std::string(key) + ": " + why + "; " + consequence);
    return true;
}

void StatusServer::start() {
    listener_.setListening(false);
    listening_ = retrying_ = false;
    // Who may ask: a narrowed list holds for the connections already open too.
    for (const auto& [id, c] : conns_) listener_.closeConnection(id);
    if (switchedOff()) return;
    const std::optional<int32_t> port = portSetting();
    const bool defaultBind = applied_.bind.text.empty() && applied_.bind.error.empty();
    const ListText bindText = defaultBind ? ListText{kDefaultBind, ""} : applied_.bind;
    const ParsedList<IpAddress> bind = parseAddressList(bindText.text);
    const ParsedList<IpPrefix> allow = parsePrefixList(applied_.allow.text);
    const ParsedList<std::string> hosts = parseHostNames(applied_.hosts.text);
    const char* addressKind = "an address or a prefix";
    const bool bindWrong = listWrong("StatusBind", bindText, bind.badEntry, addressKind);
    const bool allowWrong = listWrong("AllowStatus", applied_.allow, allow.badEntry, addressKind);
    const bool hostsWrong = listWrong("StatusHosts", applied_.hosts, hosts.badEntry, "a host name");
    if (!port || bindWrong || allowWrong || hostsWrong) return;
    port_ = *port;
    allow_ = AllowList(allow.entries);
    hostNames_ = hosts.entries;
    listener_.setLocalPort(port_);
    listener_.setLocalAddresses(bind.entries);
    OpResult r = listener_.setListening(true);
    if (!r.ok() && defaultBind) {
        // A computer without IPv6 has no ::1: this computer's IPv4 address alone will do.
        listener_.setLocalAddresses({ipv4(127, 0, 0, 1)});
        r = listener_.setListening(true);
    }
    listening_ = r.ok();
    startEvents();
    // The default's ::1 on a computer without IPv6 is no news.
    if (listening_ && !defaultBind)
        for (const UnboundAddress& u : listener_.notBound())
            log(u.why.code, "StatusBind: " + u.address.text() + " cannot be listened on here (" +
                                u.why.description + "); the status port listens without it");
    if (!listening_) {
        log(r.code, "Status port " + std::to_string(port_) + " cannot be opened: " + r.description);
        retrying_ = true;
    }
}

// "Events" and "EventsOrigins": a wrong value keeps /events off, and the rest of the port on.
void StatusServer::startEvents() {
    std::string_view text = applied_.events;
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    const std::optional<double> number = leadingNumber(text);
    const bool on = number && roundHalfEven(*number) == 1;
    eventsOn_ = false;
    streams_.setEnabled(false);
    if (!text.empty() && !on && !(number && roundHalfEven(*number) == 0))
        log(relay_.errorNumbers().badSetting,
            "Events: \"" + applied_.events + "\" is neither 0 nor 1; /events is not served");
    const ParsedList<std::string> origins = parseOrigins(applied_.eventsOrigins.text);
    if (on && listWrong("EventsOrigins", applied_.eventsOrigins, origins.badEntry,
                        "an origin such as https://host:port", "/events is not served"))
        return;
    eventsOn_ = on;
    origins_ = origins.entries;
    streams_.setEnabled(eventsOn_);
}

void StatusServer::tick() {
    const Clock::TimePoint now = relay_.clock().now();
    queueHistory_.push_back(relay_.queueLines());
    if (queueHistory_.size() > kHistorySamples) queueHistory_.pop_front();
    lineCounts_.emplace_back(relay_.counters().linesIn, relay_.counters().linesOut);
    if (lineCounts_.size() > kRateSeconds + 1) lineCounts_.pop_front();
    for (const auto& [id, c] : conns_)
        if (now - c.opened >= kIdle && !streams_.isStream(id)) listener_.closeConnection(id);
}

void StatusServer::retry() {
    if (!retrying_ || !listener_.setListening(true).ok()) return;
    listening_ = true;
    retrying_ = false;
    log(0, "Status port " + std::to_string(port_) + " open again");
}

bool StatusServer::connectionRequest(const IpAddress& peer) {
    return relay_.admit(allow_, port_, peer);
}

void StatusServer::connectionOpened(int id) {
    listener_.setLineDelimiter(id, "");  // raw bytes: the request reader frames them
    listener_.setReceiving(id, true);
    conns_[id].opened = relay_.clock().now();
    // Streams have their own bound: the requests beside them keep theirs.
    if (conns_.size() - streams_.size() > static_cast<size_t>(limits::kStatusConnections))
        listener_.closeConnection(id);
}

void StatusServer::dataIn(int id, std::string_view text, bool) {
    auto it = conns_.find(id);
    if (it == conns_.end() || it->second.answered) return;
    Conn& c = it->second;
    if (c.request.feed(text) == HttpRequestReader::State::Incomplete) return;
    c.answered = true;
    const HttpRequestReader& r = c.request;
    if (eventsOn() && r.state() == HttpRequestReader::State::Complete && r.path() == "/events" &&
        (r.method() == "GET" || r.method() == "HEAD") && hostServed(r.host(), hostNames_))
        return startStream(id, r);
    listener_.send(id, respond(r));
    listener_.closeWhenSent(id);
}

void StatusServer::startStream(int id, const HttpRequestReader& request) {
    Answer a;
    const std::string address = listener_.remoteAddress(id);
    const std::optional<IpAddress> peer = parseIpAddress(address);
    // A stream is a receiver: the receivers' list decides too, and refusals are logged so.
    if (!peer || !relay_.receiverRequest(*peer)) {
        a.status = 403;
        a.body = "This address may not receive the lines.\n";
    } else if (streams_.full()) {
        a.status = 503;
        a.extra = "Retry-After: 5\r\n";
        a.body = "As many event streams as served at once are open; try again later.\n";
    }
    if (a.status != 200) {
        listener_.send(id, serialize(a, request.method() != "HEAD"));
        listener_.closeWhenSent(id);
        return;
    }
    std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
        "X-Accel-Buffering: no\r\nX-Content-Type-Options: nosniff\r\n"
        "Referrer-Policy: no-referrer\r\nConnection: close\r\n";
    // A page served elsewhere reads the stream only when its origin is listed; never "*".
    const std::string origin = lowerCase(request.origin());
    if (std::find(origins_.begin(), origins_.end(), origin) != origins_.end())
        head += "Access-Control-Allow-Origin: " + request.origin() + "\r\nVary: Origin\r\n";
    head += "\r\n";
    listener_.send(id, head);
    if (request.method() == "HEAD") {
        listener_.closeWhenSent(id);
        return;
    }
    streams_.open(id, address, events::parseStreamStart(request.query(), request.lastEventId()),
                  request.lastEventId().empty() ? request.query() : request.lastEventId());
}

void StatusServer::connectionClosed(int id) {
    streams_.closed(id);
    conns_.erase(id);
}

std::string StatusServer::respond(const HttpRequestReader& request) {
    Answer a;
    if (request.state() == HttpRequestReader::State::Bad) {
        a.status = request.errorStatus();
        a.body = std::string(reason(a.status)) + "\n";
        return serialize(a, true);
    }
    const std::string& method = request.method();
    const std::string& path = request.path();
    if (!hostServed(request.host(), hostNames_)) {
        a.status = 421;
        a.body =
            "Not served under this name: ask by IP address or localhost, or list the name in "
            "StatusHosts.\n";
    } else if (method != "GET" && method != "HEAD") {
        a.status = 405;
        a.extra = "Allow: GET, HEAD\r\n";
        a.body = "Only GET and HEAD are served here.\n";
    } else if (path == "/") {
        a.type = "text/html; charset=utf-8";
        a.extra =
            "Content-Security-Policy: " + statusPagePolicy() + "\r\nX-Frame-Options: DENY\r\n";
        a.body = renderStatusPage(snapshot());
    } else if (path == "/status.json") {
        a.type = "application/json";
        a.body = renderStatusJson(snapshot());
    } else if (path == "/metrics") {
        a.type = "text/plain; version=0.0.4; charset=utf-8";
        a.body = renderMetrics(snapshot());
    } else if (eventsOn() && path == "/board") {
        a.type = "text/html; charset=utf-8";
        a.extra = "Content-Security-Policy: " + boardPolicy() + "\r\n";
        a.body = boardHtml();
    } else if (eventsOn() && path == "/board.js") {
        a.type = "text/javascript; charset=utf-8";
        a.body = boardScript();
    } else if (eventsOn() && path == "/board.css") {
        a.type = "text/css; charset=utf-8";
        a.body = boardStyle();
    } else if (path == "/healthz") {
        const bool in = relay_.inputListening(), out = relay_.outputListening();
        const MqttStatus mqtt = mqtt_ ? mqtt_() : MqttStatus();
        if (in && out && relay_.spoolError().empty() && mqtt.unhealthy.empty()) {
            a.body = "ok\n";
        } else {
            a.status = 503;
            if (!in)
                a.body +=
                    "input port " + std::to_string(relay_.inputPort()) + " is not listening\n";
            if (!out)
                a.body +=
                    "output port " + std::to_string(relay_.outputPort()) + " is not listening\n";
            if (!relay_.spoolError().empty())
                a.body +=
                    "spool " + relay_.spoolSettings().folder + ": " + relay_.spoolError() + "\n";
            if (!mqtt.unhealthy.empty())
                a.body += "mqtt " + mqtt.broker + ": " + mqtt.unhealthy + "\n";
        }
    } else {
        a.status = 404;
        a.body = eventsOn()
                     ? "Not here: try /, /status.json, /metrics, /healthz, /events or /board.\n"
                     : "Not here: try /, /status.json, /metrics or /healthz.\n";
    }
    return serialize(a, method != "HEAD");
}

StatusSnapshot StatusServer::snapshot() {
    StatusSnapshot s;
    static_cast<RelayStatus&>(s) = relay_.status();
    s.version = version_;
    s.startedAt = isoUtc(startedWall_);
    if (mqtt_) s.mqtt = mqtt_();
    s.uptimeSeconds = seconds(relay_.clock().now() - startedAt_);
    s.queueHistory.assign(queueHistory_.begin(), queueHistory_.end());
    s.eventsOn = eventsOn();
    if (lineCounts_.size() >= 2) {
        const double span = static_cast<double>(lineCounts_.size() - 1);
        s.linesInPerSecond =
            static_cast<double>(lineCounts_.back().first - lineCounts_.front().first) / span;
        s.linesOutPerSecond =
            static_cast<double>(lineCounts_.back().second - lineCounts_.front().second) / span;
    }
    return s;
}

}  // namespace korrin
