// The MQTT bridge's settings, read and checked in one go from the relay's settings: a pure
// function, so that every rule is tested natively. A wrong value keeps the bridge off.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace korrin {

struct MqttSettings {
    static constexpr int kDefaultKeepalive = 30;
    static constexpr int kDefaultInflight = 20;

    bool set = false;    // MqttBroker has a value: the bridge is wanted
    std::string error;   // why it stays off; empty when the values are right
    std::string broker;  // as written
    std::string host;
    int port = 1883;
    bool tls = false;
    std::string topic;
    int qos = 1;
    std::string clientId, user, passwordFile;
    int keepalive = kDefaultKeepalive;
    int inflight = kDefaultInflight;
    std::string caFile, certFile, keyFile;
    std::string subscribe;
    int subscribeQos = 1;

    bool on() const { return set && error.empty(); }
    bool operator==(const MqttSettings& o) const;
    bool operator!=(const MqttSettings& o) const { return !(*this == o); }
};

// get(key) is the setting's value, empty when absent; hostName names the default client id.
MqttSettings parseMqttSettings(const std::function<std::string(const char* key)>& get,
                               const std::string& hostName);

// Whether a topic filter is well formed: "#" only as the last level, "+" only as a whole level.
bool validTopicFilter(const std::string& filter);

// Whether the filter takes messages published to the topic.
bool topicMatches(const std::string& filter, const std::string& topic);

}  // namespace korrin
