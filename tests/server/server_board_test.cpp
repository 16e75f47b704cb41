// The board (/board) in headless Chromium against a relay with a spool, restarted twice while
// the page stays open: board_check.py drives the page and asks for each restart in a folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/server/server_harness.h"

namespace korrin::blackbox {
namespace {

constexpr int kPort = 4930, kStatusPort = 4932;

class Board : public ::testing::TestWithParam<Program> {};

TEST_P(Board, ShowsEachLineAndThoseSentWhileARestartKeptItAway) {
    const bool windows = GetParam() == Program::Windows;
    if (windows) KORRIN_NEED_WINDOWS_BUILD();
    if (!windows && access(relayBinary().c_str(), X_OK) != 0) GTEST_SKIP() << "no korrin-relay";
    ServerUnderTest s(GetParam());
    s.setSetting("Port", std::to_string(kPort));
    s.setSetting("Timer", "100");
    s.setSetting("StatusPort", std::to_string(kStatusPort));
    s.setSetting("Events", "1");
    s.setSetting("Spool", (windows ? "Z:" : "") + s.dir() + "/spool");
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(listensWithin(kStatusPort, 10000));
    const std::string steps = s.dir() + "/steps";
    ASSERT_EQ(mkdir(steps.c_str(), 0700), 0);

    std::vector<std::string> argv = {
        "/usr/bin/python3",
        std::string(KORRIN_SOURCE_DIR) + "/tests/server/board_check.py",
        "--url",
        "http://127.0.0.1:" + std::to_string(kStatusPort) + "/board",
        "--sender",
        "127.0.0.1:" + std::to_string(kPort),
        "--steps",
        steps};
    if (const char* shot = std::getenv("KORRIN_BOARD_SCREENSHOT"))
        argv.insert(argv.end(), {"--screenshot", shot});
    std::string seen;
    int rc = -1;
    std::atomic<bool> done{false};
    std::thread check([&] {
        rc = run(argv, &seen, 180000);
        done = true;
    });
    for (int n = 1; n <= 2 && !done; ++n) {
        const std::string asked = steps + "/stop-" + std::to_string(n);
        while (!done && access(asked.c_str(), F_OK) != 0) usleep(50 * 1000);
        if (done) break;
        s.stop();
        EXPECT_TRUE(s.start() && listensWithin(kStatusPort, 10000)) << "restart " << n;
        std::ofstream(steps + "/restarted-" + std::to_string(n));
    }
    check.join();
    EXPECT_EQ(rc, 0) << seen;
}

INSTANTIATE_TEST_SUITE_P(Programs, Board, ::testing::Values(Program::Windows, Program::Linux),
                         [](const auto& p) { return std::string(programName(p.param)); });

}  // namespace
}  // namespace korrin::blackbox
