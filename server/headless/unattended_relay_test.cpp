#include "server/headless/unattended_relay.h"

#include <gtest/gtest.h>

#include "server/net/testing/relay_test_fakes.h"

namespace korrin {
namespace {

using RelayPorts = UnattendedRelay::RelayPorts;

struct Rig {
    explicit Rig(RelayPorts p = RelayPorts::Retried) : ports(p) {}
    RelayPorts ports;
    FakeListener in, out, statusPort;
    FakeSettings settings;
    FakeTimer sendTimer, retry;
    FakeLog log;
    NoView view;
    FakeClock clock;
    Relay relay{in, out, settings, sendTimer, log, view, clock};
    StatusServer status{statusPort, relay, settings, "test"};
    UnattendedRelay driver{relay, status, settings, retry, ports};
};

TEST(UnattendedRelay, AFailedStartIsLoggedOnceRetriedAndItsRecoveryLogged) {
    Rig r;
    r.out.busyPorts = {3002};
    r.driver.start();
    EXPECT_TRUE(r.retry.enabled);
    EXPECT_EQ(r.retry.interval, UnattendedRelay::kRetryMs);
    for (int i = 0; i < 3; ++i) r.driver.retryTick();
    r.out.busyPorts.clear();
    r.driver.retryTick();
    EXPECT_FALSE(r.retry.enabled);
    EXPECT_EQ(r.log.text,
              "Error: 10048 - Error setting Portaddress\r\nError: 0 - Ports open again\r\n");
}

TEST(UnattendedRelay, AnOutputLeftOnItsOldNumberIsNotListeningUntilTheRetryMovesIt) {
    Rig r;
    r.driver.start();
    const int inSwitches = r.in.switched;
    r.driver.settingsMayHaveChanged();  // nothing changed: nothing restarts
    EXPECT_EQ(r.in.switched, inSwitches);
    r.settings.values["Port"] = "4000";
    r.in.busyPorts = {4000};
    r.driver.settingsMayHaveChanged();
    EXPECT_TRUE(r.out.listening);  // its receivers stay meanwhile
    EXPECT_FALSE(r.relay.inputListening() || r.relay.outputListening());
    r.driver.retryTick();
    EXPECT_EQ(r.out.port, 3002);
    r.in.busyPorts.clear();
    r.log.text.clear();
    r.driver.retryTick();
    EXPECT_EQ(r.in.port, 4000);
    EXPECT_EQ(r.out.port, 4001);
    EXPECT_TRUE(r.relay.inputListening() && r.relay.outputListening());
    EXPECT_EQ(r.log.text, "Error: 0 - Ports open again\r\n");
}

// A busy status port is retried by the same timer, the window's too, and a failing status port
// leaves the relay's ports alone; the window leaves a failed relay port to its operator.
TEST(UnattendedRelay, TheStatusPortIsRetriedByTheSameTimer) {
    for (RelayPorts ports : {RelayPorts::Retried, RelayPorts::LeftToTheOperator}) {
        Rig r(ports);
        r.settings.values = {{"StatusPort", "3080"}, {"Port", "5000"}};
        r.in.busyPorts = {5000};
        r.statusPort.busyPorts = {3080};
        r.driver.start();
        r.in.busyPorts.clear();
        r.driver.retryTick();
        EXPECT_TRUE(r.retry.enabled);
        EXPECT_EQ(r.relay.inputListening(), ports == RelayPorts::Retried);
        const int inSwitches = r.in.switched;
        r.log.text.clear();
        r.statusPort.busyPorts.clear();
        r.driver.retryTick();
        EXPECT_EQ(r.in.switched, inSwitches);
        EXPECT_TRUE(r.status.listening());
        EXPECT_FALSE(r.retry.enabled);
        EXPECT_EQ(r.log.text, "Error: 0 - Status port 3080 open again\r\n");
    }
}

}  // namespace
}  // namespace korrin
