#include "server/daemon/mqtt_settings.h"

#include <cctype>
#include <optional>
#include <tuple>

namespace korrin {

namespace {

std::optional<int> wholeNumber(const std::string& text, int low, int high) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    int n = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n < low || n > high) return std::nullopt;
    return n;
}

// "mqtt://HOST[:PORT]" or "mqtts://HOST[:PORT]", an IPv6 address in brackets; false when not.
bool parseBroker(const std::string& url, MqttSettings& s) {
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        s.tls = true;
        s.port = 8883;
    } else {
        return false;
    }
    std::string portText;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos) return false;
        s.host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty() && after[0] != ':') return false;
        if (!after.empty()) portText = after.substr(1);
        if (after == ":") return false;
    } else {
        const size_t colon = rest.find(':');
        s.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            portText = rest.substr(colon + 1);
            if (portText.empty()) return false;
        }
    }
    if (s.host.empty() || s.host.find_first_of("/?#@ ") != std::string::npos) return false;
    if (!portText.empty()) {
        const auto port = wholeNumber(portText, 1, 65535);
        if (!port) return false;
        s.port = *port;
    }
    return true;
}

}  // namespace

bool validTopicFilter(const std::string& filter) {
    if (filter.empty() || filter.find('\0') != std::string::npos) return false;
    size_t start = 0;
    for (;;) {
        const size_t end = filter.find('/', start);
        const std::string level = filter.substr(start, end - start);
        if (level.find_first_of("+#") != std::string::npos && level != "+" && level != "#")
            return false;
        if (level == "#" && end != std::string::npos) return false;
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

bool topicMatches(const std::string& filter, const std::string& topic) {
    size_t f = 0, t = 0;
    for (;;) {
        const size_t fEnd = filter.find('/', f), tEnd = topic.find('/', t);
        const std::string level = filter.substr(f, fEnd - f);
        if (level == "#") return true;
        if (level != "+" && level != topic.substr(t, tEnd - t)) return false;
        if (fEnd == std::string::npos || tEnd == std::string::npos)
            return fEnd == tEnd || filter.substr(fEnd + 1) == "#";
        f = fEnd + 1;
        t = tEnd + 1;
    }
}

MqttSettings parseMqttSettings(const std::function<std::string(const char* key)>& get,
                               const std::string& hostName) {
    MqttSettings s;
    s.broker = get("MqttBroker");
    if (s.broker.empty()) return s;
    s.set = true;
    const auto wrong = [&s](const std::string& why) {
        if (s.error.empty()) s.error = why;
    };
    if (!parseBroker(s.broker, s))
        wrong("MqttBroker: \"" + s.broker + "\" is no mqtt://HOST[:PORT] or mqtts://HOST[:PORT]");
    s.topic = get("MqttTopic");
    if (s.topic.empty())
        wrong("MqttTopic: a topic is needed with MqttBroker");
    else if (s.topic.find_first_of("+#") != std::string::npos || !validTopicFilter(s.topic))
        wrong("MqttTopic: \"" + s.topic + "\" is no topic to publish to (no + or #)");
    const auto number = [&](const char* key, int low, int high, int fallback) {
        const std::string text = get(key);
        if (text.empty()) return fallback;
        const auto n = wholeNumber(text, low, high);
        if (!n)
            wrong(std::string(key) + ": \"" + text + "\" is no number in " + std::to_string(low) +
                  ".." + std::to_string(high));
        return n.value_or(fallback);
    };
    s.qos = number("MqttQos", 0, 1, 1);
    s.keepalive = number("MqttKeepalive", 5, 65535, MqttSettings::kDefaultKeepalive);
    s.inflight = number("MqttInflight", 1, 1000, MqttSettings::kDefaultInflight);
    s.subscribeQos = number("MqttSubscribeQos", 0, 1, 1);
    s.clientId = get("MqttClientId");
    if (s.clientId.empty()) s.clientId = "korrin-relay-" + hostName;
    s.user = get("MqttUser");
    s.passwordFile = get("MqttPasswordFile");
    if (!s.passwordFile.empty() && s.user.empty())
        wrong("MqttPasswordFile: a password needs MqttUser");
    s.caFile = get("MqttCaFile");
    s.certFile = get("MqttCertFile");
    s.keyFile = get("MqttKeyFile");
    if (!s.tls && !(s.caFile + s.certFile + s.keyFile).empty())
        wrong("MqttCaFile, MqttCertFile and MqttKeyFile need an mqtts:// broker");
    if (s.certFile.empty() != s.keyFile.empty()) wrong("MqttCertFile and MqttKeyFile go together");
    s.subscribe = get("MqttSubscribe");
    if (!s.subscribe.empty() && !validTopicFilter(s.subscribe))
        wrong("MqttSubscribe: \"" + s.subscribe + "\" is no topic filter");
    // Each line published would come back as a new line, without end.
    if (!s.subscribe.empty() && !s.topic.empty() && topicMatches(s.subscribe, s.topic))
        wrong("MqttSubscribe: the bridge would read back its own lines from MqttTopic");
    return s;
}

bool MqttSettings::operator==(const MqttSettings& o) const {
    const auto tie = [](const MqttSettings& s) {
        return std::tie(s.set, s.error, s.broker, s.topic, s.qos, s.clientId, s.user,
                        s.passwordFile, s.keepalive, s.inflight, s.caFile, s.certFile, s.keyFile,
                        s.subscribe, s.subscribeQos);
    };
    return tie(*this) == tie(o);
}

}  // namespace korrin
