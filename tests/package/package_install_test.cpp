// The packages of build/win32/dist: what the zip holds, and a silent installation under Wine
// of the setup for the Windows build under test (x64 or x86) that is used (the installed server
// relays a line) and silently removed again.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "server/console/control_ids.h"
#include "tests/server/server_harness.h"

namespace korrin::blackbox {
namespace {

namespace fs = std::filesystem;

const std::string kName = "korrin-" KORRIN_VERSION;
const char kUninstallKey[] =
    "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KorrinServer";

std::string slurp(const fs::path& file) {
    std::ifstream f(file, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The values of a registry key as `reg query` prints them; empty when the key is missing. view:
// "/reg:32" or "/reg:64" on 64-bit Windows.
std::map<std::string, std::string> regQuery(const std::string& key, const std::string& view = "") {
    std::string out;
    std::map<std::string, std::string> values;
    std::vector<std::string> argv = {wineLoader(), "reg", "query", key};
    if (!view.empty()) argv.push_back(view);
    if (run(argv, &out, 30000) != 0) return values;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // "    Name    REG_SZ    Value"
        size_t type = line.find("    REG_");
        if (line.rfind("    ", 0) != 0 || type == std::string::npos) continue;
        size_t value = line.find("    ", type + 4);
        values[line.substr(4, type - 4)] = value == std::string::npos ? "" : line.substr(value + 4);
    }
    return values;
}

// Start-menu links named "Korrin Server" in a folder of the company, anywhere on drive C.
std::vector<fs::path> startMenuLinks(const fs::path& driveC) {
    std::vector<fs::path> links;
    std::error_code ec;
    for (fs::recursive_directory_iterator
             it(driveC, fs::directory_options::skip_permission_denied, ec),
         end;
         it != end; it.increment(ec)) {
        if (ec) break;
        const fs::path& p = it->path();
        if (p.filename() == "Korrin Server.lnk" && p.parent_path().filename() == KORRIN_COMPANY)
            links.push_back(p);
    }
    return links;
}

bool goneWithin(const fs::path& p, int ms) {
    for (int t = 0; fs::exists(p); t += 100) {
        if (t >= ms) return false;
        usleep(100000);
    }
    return true;
}

class Package : public ::testing::Test {
  protected:
    void SetUp() override {
        KORRIN_NEED_WINDOWS_BUILD();
        // The 32-bit build makes every package.
        win32Bin_ = windowsBuildDir() + "/../win32/bin/";
        dist_ = windowsBuildDir() + "/../win32/dist";
        setup_ = dist_ / (kName + (windows64() ? "-x64-setup.exe" : "-setup.exe"));
        // No menu entries of the test prefix in the Linux desktop's menus.
        const char* overrides = std::getenv("WINEDLLOVERRIDES");
        std::string o = overrides && *overrides ? overrides : "mscoree=d;mshtml=d";
        if (o.find("winemenubuilder") == std::string::npos) o += ";winemenubuilder.exe=d";
        setenv("WINEDLLOVERRIDES", o.c_str(), 1);
        setWineEnvironment();
        driveC_ = fs::path(std::getenv("WINEPREFIX")) / "drive_c";
        company_ = driveC_ / "Program Files" / KORRIN_COMPANY;
        installDir_ = company_ / "Korrin Server";
    }

    std::string win32Bin_;
    fs::path dist_, setup_, driveC_, company_, installDir_;
};

TEST_F(Package, ZipHoldsTheProgramTheLibraryAndTheTexts) {
    const fs::path zip = dist_ / (kName + "-win32.zip");
    ASSERT_TRUE(fs::exists(zip)) << zip;
    std::string out;
    ASSERT_EQ(run({"zip", "-sf", zip.string()}, &out), 0);
    std::set<std::string> entries;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("  ", 0) == 0) entries.insert(line.substr(2));
    const std::string top = kName + "-win32/";
    const std::set<std::string> want = {top,
                                        top + "KorrinServer.exe",
                                        top + "Language.dll",
                                        top + "INSTALL.txt",
                                        top + "limit-to-this-computer.reg",
                                        top + "limit-service-to-this-computer.reg",
                                        top + "LICENSE.txt",
                                        top + "oxasoft/",
                                        top + "oxasoft/oxasoft.h",
                                        top + "oxasoft/call_by_name.c",
                                        top + "oxasoft/x86/",
                                        top + "oxasoft/x86/oxasoft.dll",
                                        top + "oxasoft/x86/liboxasoft.dll.a",
                                        top + "oxasoft/x64/",
                                        top + "oxasoft/x64/oxasoft.dll",
                                        top + "oxasoft/x64/liboxasoft.dll.a",
                                        top + "x64/",
                                        top + "x64/KorrinServer.exe",
                                        top + "x64/Language.dll"};
    EXPECT_EQ(entries, want) << out;
}

// Its version resource holds its texts in UTF-16.
TEST_F(Package, SetupProgramCarriesTheVersionItIsNamedAfter) {
    const std::string bytes = slurp(setup_);
    std::string wide;
    for (char c : std::string("Korrin Server " KORRIN_VERSION " Setup")) wide += {c, '\0'};
    EXPECT_NE(bytes.find(wide), std::string::npos);
}

TEST_F(Package, SilentInstallRunsTheServerAndSilentUninstallKeepsOnlyTheSettings) {
    const fs::path& setup = setup_;
    ASSERT_TRUE(fs::exists(setup)) << setup;
    // A run that failed half-way may have left an installation behind.
    fs::remove_all(installDir_);
    for (const fs::path& link : startMenuLinks(driveC_)) fs::remove(link);
    run({wineLoader(), "reg", "delete", kUninstallKey, "/f"});
    // Where earlier setups put the 32-bit library: replaced by the x86 folder.
    fs::create_directories(installDir_ / "oxasoft");
    std::ofstream(installDir_ / "oxasoft/oxasoft.dll") << "stale";

    ASSERT_EQ(run({wineLoader(), setup.string(), "/S"}, nullptr, 60000), 0);

    const char* installed[] = {"KorrinServer.exe",
                               "Language.dll",
                               "INSTALL.txt",
                               "LICENSE.txt",
                               "limit-to-this-computer.reg",
                               "limit-service-to-this-computer.reg",
                               "Uninstall.exe",
                               "oxasoft/oxasoft.h",
                               "oxasoft/call_by_name.c",
                               "oxasoft/x86/liboxasoft.dll.a",
                               "oxasoft/x64/liboxasoft.dll.a"};
    for (const char* f : installed) EXPECT_TRUE(fs::is_regular_file(installDir_ / f)) << f;
    EXPECT_FALSE(fs::exists(installDir_ / "oxasoft/oxasoft.dll"));
    EXPECT_EQ(slurp(installDir_ / "KorrinServer.exe"),
              slurp(windowsBuildDir() + "/bin/KorrinServer.exe"));
    EXPECT_EQ(slurp(installDir_ / "oxasoft/x86/oxasoft.dll"), slurp(win32Bin_ + "oxasoft.dll"));
    EXPECT_EQ(slurp(installDir_ / "oxasoft/x64/oxasoft.dll"),
              slurp(KORRIN_WIN64_BIN "/oxasoft.dll"));
    EXPECT_NE(slurp(installDir_ / "LICENSE.txt").find("\r\n"), std::string::npos);

    auto links = startMenuLinks(driveC_);
    ASSERT_EQ(links.size(), 1u);
    EXPECT_NE(slurp(links[0]).find("KorrinServer.exe"), std::string::npos);

    const std::string winDir = "C:\\Program Files\\" KORRIN_COMPANY "\\Korrin Server";
    auto entry = regQuery(kUninstallKey);
    EXPECT_EQ(entry["DisplayName"], "Korrin Server");
    EXPECT_EQ(entry["DisplayVersion"], KORRIN_VERSION);
    EXPECT_EQ(entry["Publisher"], KORRIN_COMPANY);
    EXPECT_EQ(entry["InstallLocation"], winDir);
    EXPECT_EQ(entry["UninstallString"], "\"" + winDir + "\\Uninstall.exe\"");

    ServerUnderTest server(installDir_.string());
    {
        server.setSetting("Port", "4600");
        server.setSetting("Timer", "100");
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(listensWithin(4600, 5000) && listensWithin(4601, 5000));
        int receiver = connectTo(4601);
        auto d = server.waitFor([](auto& m) { return m["list3.count"] == "1"; });
        EXPECT_EQ(d["list3.count"], "1");
        int sender = connectTo(4600);
        const std::string line = "one line through the installed server\n";
        sendAll(sender, line);
        EXPECT_EQ(readFor(receiver, line.size(), 5000), line);
        closeFd(sender);
        closeFd(receiver);
        // The about box shows the version the packages are named after.
        server.probe({"command", std::to_string(ids::kMenuAbout)});
        std::string box = server.probe({"about"});
        EXPECT_NE(box.find("|Static|" KORRIN_VERSION "\n"), std::string::npos) << box;
        server.probe({"aboutclick", std::to_string(ids::kAboutCommand1)});
        // The files of a running server cannot be replaced or removed: both programs refuse
        // (exit code 2). _?= keeps the uninstaller in place, so its exit code is its own; it
        // must come unquoted, hence the short form of the folder.
        EXPECT_EQ(run({wineLoader(), setup.string(), "/S"}, nullptr, 60000), 2);
        std::string shortDir;
        ASSERT_EQ(run({wineLoader(), "winepath", "-s", winDir}, &shortDir), 0);
        shortDir.erase(shortDir.find_last_not_of("\r\n") + 1);
        ASSERT_EQ(shortDir.find(' '), std::string::npos) << shortDir;
        EXPECT_EQ(
            run({wineLoader(), (installDir_ / "Uninstall.exe").string(), "/S", "_?=" + shortDir},
                nullptr, 60000),
            2);
        EXPECT_TRUE(fs::exists(installDir_ / "KorrinServer.exe"));
        server.stop();
        EXPECT_FALSE(server.running());
    }

    // The server's error log lies beside the program; the uninstaller takes it along.
    std::ofstream(installDir_ / "IpError.txt") << "Error: 10048 - address in use\r\n";
    ASSERT_EQ(run({wineLoader(), (installDir_ / "Uninstall.exe").string(), "/S"}, nullptr, 60000),
              0);
    // The uninstaller runs on from a copy of itself in the temp folder.
    EXPECT_TRUE(goneWithin(installDir_, 30000));
    EXPECT_FALSE(fs::exists(company_));
    EXPECT_TRUE(startMenuLinks(driveC_).empty());
    EXPECT_TRUE(regQuery(kUninstallKey).empty());
    // The user's settings stay for a later installation.
    EXPECT_EQ(server.setting("Port"), "4600");
}

// An installation of the x86 setup on 64-bit Windows: its folder in Program Files (x86), its
// entry in the registry's 32-bit view. The x86 setup cannot run where only 64-bit programs run,
// so the x64 setup stands in for it: installed into that folder, its entry moved to the 32-bit
// view. Its uninstaller removes the same files.
TEST_F(Package, X64SetupReplacesAnX86Installation) {
    if (!windows64()) GTEST_SKIP() << "32-bit Windows has one registry view and one setup";
    const fs::path x86Company = driveC_ / "Program Files (x86)" / KORRIN_COMPANY;
    const fs::path x86Dir = x86Company / "Korrin Server";
    const std::string x86WinDir = "C:\\Program Files (x86)\\" KORRIN_COMPANY "\\Korrin Server";
    fs::remove_all(installDir_);
    fs::remove_all(x86Company);
    for (const char* view : {"/reg:32", "/reg:64"})
        run({wineLoader(), "reg", "delete", kUninstallKey, "/f", view});

    // /D= comes last and unquoted: the short form of the folder has no blank.
    fs::create_directories(x86Dir);
    std::string shortDir;
    ASSERT_EQ(run({wineLoader(), "winepath", "-s", x86WinDir}, &shortDir), 0);
    shortDir.erase(shortDir.find_last_not_of("\r\n") + 1);
    ASSERT_EQ(run({wineLoader(), setup_.string(), "/S", "/D=" + shortDir}, nullptr, 60000), 0);
    ASSERT_TRUE(fs::exists(x86Dir / "Uninstall.exe"));
    const std::pair<const char*, std::string> entry[] = {
        {"InstallLocation", x86WinDir},
        {"QuietUninstallString", "\"" + x86WinDir + "\\Uninstall.exe\" /S"}};
    for (const auto& [name, value] : entry)
        ASSERT_EQ(run({wineLoader(), "reg", "add", kUninstallKey, "/v", name, "/d", value, "/f",
                       "/reg:32"}),
                  0);
    ASSERT_EQ(run({wineLoader(), "reg", "delete", kUninstallKey, "/f", "/reg:64"}), 0);

    ASSERT_EQ(run({wineLoader(), setup_.string(), "/S"}, nullptr, 60000), 0);
    EXPECT_FALSE(fs::exists(x86Company));
    EXPECT_TRUE(fs::is_regular_file(installDir_ / "KorrinServer.exe"));
    EXPECT_TRUE(regQuery(kUninstallKey, "/reg:32").empty());
    EXPECT_EQ(regQuery(kUninstallKey, "/reg:64")["InstallLocation"],
              "C:\\Program Files\\" KORRIN_COMPANY "\\Korrin Server");
    EXPECT_EQ(startMenuLinks(driveC_).size(), 1u);

    EXPECT_EQ(run({wineLoader(), (installDir_ / "Uninstall.exe").string(), "/S"}, nullptr, 60000),
              0);
    EXPECT_TRUE(goneWithin(installDir_, 30000));
}

TEST_F(Package, ServiceOptionStartsTheServiceAndTheUninstallerRemovesIt) {
    const fs::path& setup = setup_;
    const std::string machineKey = "HKLM\\Software\\" KORRIN_COMPANY "\\VarnelServer";
    ASSERT_EQ(run({wineLoader(), "reg", "add", machineKey, "/v", "Port", "/d", "4602", "/f"}), 0);
    // A Wine session ends with its last program, services and all: a logged-on user's stand-in.
    ServerUnderTest user(installDir_.string());
    std::thread keepAlive([&user] { user.probe({"sleep", "20000"}); });

    EXPECT_EQ(run({wineLoader(), setup.string(), "/S", "/SERVICE"}, nullptr, 60000), 0);
    EXPECT_TRUE(listensWithin(4602, 10000) && listensWithin(4603, 5000));
    EXPECT_TRUE(listensWithin(3080, 5000)) << "the status page the setup turns on";
    EXPECT_EQ(run({wineLoader(), "sc", "query", "KorrinServer"}), 0);

    EXPECT_EQ(run({wineLoader(), (installDir_ / "Uninstall.exe").string(), "/S"}, nullptr, 60000),
              0);
    EXPECT_TRUE(goneWithin(installDir_, 30000)) << "the running service kept its program file";
    EXPECT_FALSE(isListening(4602));
    EXPECT_NE(run({wineLoader(), "sc", "query", "KorrinServer"}), 0);
    run({wineLoader(), "reg", "delete", machineKey, "/f"});
    keepAlive.join();
}

}  // namespace
}  // namespace korrin::blackbox
