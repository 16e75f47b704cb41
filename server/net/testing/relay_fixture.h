// A relay over fakes, loaded by hand, for the tests of its handlers.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/net/relay.h"
#include "server/net/testing/relay_test_fakes.h"

namespace korrin {

struct RelayFixture : ::testing::Test {
    FakeListener in, out;
    FakeSettings settings;
    FakeTimer timer;
    FakeLog log;
    FakeView view;
    FakeClock clock;
    Relay relay{in, out, settings, timer, log, view, clock};
    int languageCalls = 0;

    void load() {
        relay.load([this] { ++languageCalls; });
    }
    std::vector<std::string> queueLines() const {
        return {relay.queue().begin(), relay.queue().end()};
    }
};

}  // namespace korrin
