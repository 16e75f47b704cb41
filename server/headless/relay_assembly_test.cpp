#include "server/headless/relay_assembly.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <vector>

#include "server/net/testing/memory_folder.h"
#include "server/net/testing/relay_test_fakes.h"

namespace korrin {
namespace {

using TimerRole = RelayPlatform::TimerRole;

// Reports the connections still open as closed when it goes, as a platform's listener may.
struct ClosingListener final : FakeListener {
    ClosingListener(ListenerEvents& e, int bound) : events(e), maxConnections(bound) {}
    ~ClosingListener() override {
        for (int id : opened) events.connectionClosed(id);
    }
    void open(int id) {
        opened.push_back(id);
        events.connectionOpened(id);
    }
    ListenerEvents& events;
    int maxConnections;
    std::vector<int> opened;
};

TEST(RelayAssembly, StartsItsPartsTicksReachThemAndOpenConnectionsCloseIntoWholeParts) {
    FakeSettings settings;
    FakeLog log;
    NoView view;
    FakeClock clock;
    std::vector<ClosingListener*> ports;  // input, output, status
    std::map<TimerRole, std::pair<FakeTimer*, std::function<void()>>> timers;
    RelayAssembly parts{
        RelayPlatform{[&](ListenerEvents& events, int bound) {
                          ports.push_back(new ClosingListener(events, bound));
                          return std::unique_ptr<Listener>(ports.back());
                      },
                      [&](TimerRole role, std::function<void()> onTick) {
                          auto t = std::make_unique<FakeTimer>();
                          timers[role] = {t.get(), std::move(onTick)};
                          return t;
                      },
                      [](const std::string&) { return std::make_unique<MemoryFolder>(); }, log,
                      settings, view, clock, 7, "test"}};

    std::vector<int> bounds;
    for (const ClosingListener* l : ports) bounds.push_back(l->maxConnections);
    EXPECT_EQ(bounds, (std::vector<int>{7, Relay::kTableSize, StatusServer::kMaxConnections}));
    const auto start = [&](TimerRole role) {
        return std::make_pair(timers.at(role).first->interval, timers.at(role).first->enabled);
    };
    EXPECT_EQ(start(TimerRole::Send), std::make_pair(1000, true));
    EXPECT_EQ(start(TimerRole::Status), std::make_pair(1000, true));
    EXPECT_EQ(start(TimerRole::Retry), std::make_pair(UnattendedRelay::kRetryMs, false));
    EXPECT_FALSE(timers.at(TimerRole::Spool).first->enabled);  // until the relay spools

    ports[1]->busyPorts = {3002};
    parts.driver().start();
    ports[1]->busyPorts.clear();
    timers.at(TimerRole::Retry).second();
    EXPECT_TRUE(parts.relay().outputListening());
    ports[0]->open(1);
    ports[1]->open(0);
    ports[2]->open(0);
    ports[0]->events.dataIn(1, "one", true);
    timers.at(TimerRole::Send).second();
    EXPECT_EQ(ports[1]->sent[0], "one\n");
    // Goes with all three connections open: their closes must find the relay and the status
    // server whole.
}

}  // namespace
}  // namespace korrin
