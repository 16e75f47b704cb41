#include "server/daemon/mqtt_settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <tuple>

namespace korrin {
namespace {

TEST(MqttSettings, WrongValuesNameTheirKey) {
    struct Case {
        const char *broker, *topic, *key, *value, *error;  // error: its start; "": right
    } cases[] = {
        {"mqtt://b", "a/b", "", "", ""},
        {"http://b", "t", "", "", "MqttBroker"},
        {"mqtt://b:0", "t", "", "", "MqttBroker"},
        {"mqtt://b:", "t", "", "", "MqttBroker"},
        {"mqtt://", "t", "", "", "MqttBroker"},
        {"mqtt://b", "", "", "", "MqttTopic"},
        {"mqtt://b", "a/+/c", "", "", "MqttTopic"},
        {"mqtt://b", "a/#", "", "", "MqttTopic"},
        {"mqtt://b", "t", "MqttQos", "2", "MqttQos"},
        {"mqtt://b", "t", "MqttInflight", "1001", "MqttInflight"},
        {"mqtt://b", "t", "MqttCaFile", "/ca", "MqttCaFile"},  // TLS files without TLS
        {"mqtts://b", "t", "MqttCertFile", "/c", "MqttCertFile"},
        {"mqtt://b", "t", "MqttPasswordFile", "/p", "MqttPasswordFile"},
        {"mqtt://b", "a/b", "MqttSubscribe", "a/#", "MqttSubscribe"},  // its own lines back
        {"mqtt://b", "t", "MqttSubscribe", "in/x#", "MqttSubscribe"},
        {"mqtt://b", "a/b", "MqttSubscribe", "in/+/x", ""},
    };
    for (const Case& c : cases) {
        std::map<std::string, std::string> v = {
            {"MqttBroker", c.broker}, {"MqttTopic", c.topic}, {c.key, c.value}};
        const MqttSettings s = parseMqttSettings([&](const char* k) { return v[k]; }, "box");
        EXPECT_EQ(s.error.substr(0, strlen(c.error)), c.error) << c.broker << " " << c.value;
        EXPECT_EQ(s.on(), !*c.error) << s.error;
    }
}

TEST(MqttSettings, BrokerAddressesAndDefaults) {
    struct Case {
        const char* broker;
        std::string host;
        int port;
        bool tls;
    } cases[] = {{"mqtt://broker", "broker", 1883, false},
                 {"mqtts://b.example:9000", "b.example", 9000, true},
                 {"mqtts://[::1]", "::1", 8883, true}};
    for (const Case& c : cases) {
        const MqttSettings s = parseMqttSettings(
            [&](const std::string& k) {
                return std::string(k == "MqttBroker" ? c.broker : k == "MqttTopic" ? "t" : "");
            },
            "box");
        EXPECT_EQ(std::tie(s.host, s.port, s.tls), std::tie(c.host, c.port, c.tls)) << c.broker;
        EXPECT_EQ(std::tie(s.clientId, s.qos, s.inflight, s.keepalive),
                  std::make_tuple("korrin-relay-box", 1, 20, 30));
    }
    EXPECT_FALSE(parseMqttSettings([](const char*) { return ""; }, "box").set);
    struct Match {
        const char *filter, *topic;
        bool match;
    } matches[] = {{"a/#", "a", true},   {"a/+", "a/b", true},   {"a/+", "a/b/c", false},
                   {"+/b", "a/b", true}, {"a/b", "a/bc", false}, {"a/+/c", "a//c", true}};
    for (const Match& m : matches) EXPECT_EQ(topicMatches(m.filter, m.topic), m.match) << m.filter;
}

}  // namespace
}  // namespace korrin
