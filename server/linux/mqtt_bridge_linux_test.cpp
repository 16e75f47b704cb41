// The bridge's backlog against a broker that never answers: what memory lets go of is counted
// as it goes, not once the broker is back; a spool it fills is named by /healthz.
#include "server/linux/mqtt_bridge_linux.h"

#include <gtest/gtest.h>

#include <map>

#include "server/net/limits.h"
#include "server/net/testing/memory_folder.h"
#include "server/net/testing/relay_fixture.h"

namespace korrin {
namespace {

struct MqttBacklog : RelayFixture {
    bool withSpool = false;
    EventLoop loop;
    FakeTimer spoolTimer;
    MqttBridge bridge{loop, relay, clock};
    void SetUp() override {
        if (withSpool) {
            settings.values["Spool"] = "/var/spool/korrin";
            settings.values["SpoolLimit"] = "4";
            relay.useSpool([](const std::string&) { return std::make_unique<MemoryFolder>(); },
                           spoolTimer);
        }
        load();
        const std::map<std::string, std::string> values = {{"MqttBroker", "mqtt://127.0.0.1:9"},
                                                           {"MqttTopic", "k/lines"}};
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
    void pace(size_t lines, size_t bytes = 4) {
        const std::string line(bytes, '.');
        for (size_t i = 0; i < lines; ++i) {
            relay.senderLines(-1, {line});
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

struct MqttSpoolBacklog : MqttBacklog {
    MqttSpoolBacklog() { withSpool = true; }
};

TEST_F(MqttSpoolBacklog, ASpoolFullOfWhatTheBrokerOwesIsUnhealthy) {
    pace(100, 4000);
    EXPECT_EQ(bridge.status().unhealthy, "");
    pace(1100, 4000);  // past 4 MiB, every line owed
    ASSERT_TRUE(relay.readingPaused());
    EXPECT_NE(bridge.status().unhealthy.find("the spool is full with 1200 lines the broker"),
              std::string::npos)
        << bridge.status().unhealthy;
    EXPECT_EQ(lost(), 0u);
}

}  // namespace
}  // namespace korrin
