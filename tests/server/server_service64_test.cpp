// The service on 64-bit Windows (a 64-bit Wine prefix), built for either: it reads its settings
// from the 64-bit registry view, where an administrator's 64-bit reg.exe and regedit write them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/server/server_harness.h"

namespace korrin::blackbox {
namespace {

constexpr char kMachineKey[] = "HKLM\\Software\\Oxa Software\\VarnelServer";

TEST(Service64, FollowsTheSettingsOfThe64BitView) {
    KORRIN_NEED_WINDOWS_BUILD();
    const char* prefix64 = std::getenv("WINEPREFIX64");
    if (!prefix64) {
        if (std::getenv("KORRIN_REQUIRE_WINDOWS")) FAIL() << "WINEPREFIX64 is not set";
        GTEST_SKIP() << "no 64-bit Wine prefix (WINEPREFIX64)";
    }
    setenv("WINEPREFIX", prefix64, 1);
    setenv("WINEARCH", "win64", 1);
    ServerUnderTest window;  // keeps the Wine session, and so the service, alive
    window.setSetting("Port", "4440");
    ASSERT_TRUE(window.start());
    auto reg64 = [](std::vector<std::string> args) {
        std::vector<std::string> argv = {wineLoader(), "reg"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back("/reg:64");
        return run(argv);
    };
    reg64({"delete", kMachineKey, "/f"});
    ASSERT_EQ(reg64({"add", kMachineKey, "/v", "Port", "/d", "4450", "/f"}), 0);
    ASSERT_EQ(reg64({"add", kMachineKey, "/v", "Bind", "/d", "127.0.0.2", "/f"}), 0);
    ASSERT_EQ(run({wineLoader(), window.dir() + "/KorrinServer.exe", "/install"}), 0);
    EXPECT_TRUE(listensWithin(4450, 10000) && listensWithin(4451, 5000));
    for (int port : {4450, 4451})
        EXPECT_EQ(listenAddresses(port), std::vector<std::string>{"127.0.0.2"}) << port;
    EXPECT_FALSE(isListening(3001)) << "the defaults: the 64-bit view was not read";
    EXPECT_EQ(run({wineLoader(), window.dir() + "/KorrinServer.exe", "/uninstall"}), 0);
    reg64({"delete", kMachineKey, "/f"});
}

}  // namespace
}  // namespace korrin::blackbox
