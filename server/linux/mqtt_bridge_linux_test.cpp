// The bridge's backlog without a spool, against a broker that never answers: what memory lets
// go of is counted as it goes, not once the broker is back.
#include "server/linux/mqtt_bridge_linux.h"

#include <gtest/gtest.h>

#include <map>

#include "server/net/limits.h"
#include "server/net/testing/relay_fixture.h"

namespace korrin {
namespace {

struct MqttBacklog : RelayFixture {
    EventLoop loop;
    MqttBridge bridge{loop, relay, clock};
    void SetUp() override {
        load();
        const std::map<std::string, std::string> values = {
            {"MqttBroker", "mqtt://127.0.0.1:9"}, {"MqttTopic", "k/lines"}};
        bridge.apply(parseMqttSettings(
            [&](const char* key) {
                auto it = values.find(key);
                return it == values.end() ? std::string() : it->second;
            },
            "host"));
    }
    uint64_t lost() const {
        auto it = relay.counters().linesLost.find("mqtt");
        return it == relay.counters().linesLost.end() ? 0 : it->second;
    }
    void pace(size_t lines) {
        for (size_t i = 0; i < lines; ++i) {
            relay.senderLines(-1, {"line"});
            relay.Send_Msg();
        }
    }
};

TEST_F(MqttBacklog, LinesMemoryLetsGoOfAreCountedAndLoggedOnceAsTheyGo) {
    pace(limits::kKeptLines);
    EXPECT_EQ(lost(), 0u);
    pace(500);
    EXPECT_EQ(lost(), 500u);
    pace(1);
    EXPECT_EQ(lost(), 501u);
    const std::string said = "owed more than memory keeps";
    const size_t at = log.text.find(said);
    ASSERT_NE(at, std::string::npos) << log.text;
    EXPECT_EQ(log.text.find(said, at + 1), std::string::npos) << "said once, not per step";
    EXPECT_EQ(bridge.status().backlog, limits::kKeptLines);
}

}  // namespace
}  // namespace korrin
