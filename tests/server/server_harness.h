// Runs the built KorrinServer.exe under Wine from a private copy of its directory, and talks
// to it as Linux peers on 127.0.0.1 and as an operator through korrin_probe.exe.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace korrin::blackbox {

// The Windows build under test (build/win64 or build/win32): $KORRIN_WINDOWS_BIN names its
// bin folder, or $KORRIN_WINDOWS_BUILDS the folder of the builds and $KORRIN_WINDOWS_BUILD
// (default win64) which one. Empty when none is named or it has no KorrinServer.exe.
std::string windowsBuildDir();
// True when that build's KorrinServer.exe is a 64-bit program.
bool windows64();
// Wine's loader for that build: the "wine" script for 32-bit programs, the 64-bit loader
// itself for 64-bit ones (the script prefers the 32-bit loader, which some hosts cannot run).
const std::string& wineLoader();
// korrin-relay of the native build (or $KORRIN_RELAY_BIN).
std::string relayBinary();

// For a test fixture's SetUp: skips without the Windows build, or fails where scripts/test
// demands it (KORRIN_REQUIRE_WINDOWS). Needs <gtest/gtest.h> and <cstdlib>.
#define KORRIN_NEED_WINDOWS_BUILD()                                                              \
    do {                                                                                         \
        if (::korrin::blackbox::windowsBuildDir().empty()) {                                     \
            if (std::getenv("KORRIN_REQUIRE_WINDOWS")) FAIL() << "the Windows build is missing"; \
            GTEST_SKIP() << "no Windows build to test";                                          \
        }                                                                                        \
    } while (0)

// The relay program a scenario runs against: the Windows program under Wine, with its window,
// or korrin-relay, whose state the scenarios read from its status page.
enum class Program { Windows, Linux };
const char* programName(Program p);

class ServerUnderTest {
  public:
    ServerUnderTest();  // a fresh program directory with KorrinServer.exe and Language.dll
    // korrin-relay: settings go to a config file in a fresh directory, its log to IpError.txt
    // there, and dump() reads its status page (StatusPort 4799 unless set).
    explicit ServerUnderTest(Program program);
    Program program() const { return program_; }
    // The number the program logs a Winsock-numbered error of the Windows program under.
    int code(int winsockCode) const;
    // The program where it is already (an installation); the directory is left as it is.
    explicit ServerUnderTest(std::string installedDir);
    ~ServerUnderTest();
    ServerUnderTest(const ServerUnderTest&) = delete;
    ServerUnderTest& operator=(const ServerUnderTest&) = delete;

    const std::string& dir() const { return dir_; }
    // Settings in the per-user store; an empty optional removes the value.
    void setSetting(const std::string& name, const std::string& value);
    void removeSetting(const std::string& name);
    // The stored value, escaped as the probe prints it; "<none>" when there is none.
    std::string setting(const std::string& name);
    void setLanguage(const std::string& code);  // "Control Panel\International" sLanguage
    void removeLanguage();
    void writeFile(const std::string& name, const std::string& bytes);
    std::string readFile(const std::string& name) const;

    // Starts the program and waits for its window; true when it came up.
    bool start();
    // Starts another copy and returns its exit code (-1 when it had to be killed).
    int startSecondCopy(int waitMs);
    // Asks the window to close (korrin-relay: SIGTERM) and waits for the process; kills it
    // when it hangs.
    void stop();
    // korrin-relay: writes the settings to its file again and sends SIGHUP.
    void reload();
    bool running();
    pid_t pid() const { return pid_; }  // of korrin-relay; of wine for the Windows program
    // Exit status after stop(); -1 when unknown.
    int exitCode() const { return exitCode_; }

    // korrin_probe with the given arguments; its stdout.
    std::string probe(const std::vector<std::string>& args, int* rc = nullptr);
    std::map<std::string, std::string> dump();
    // Polls dump() until pred holds or the time is up; returns the last dump.
    template <typename Pred>
    std::map<std::string, std::string> waitFor(Pred pred, int ms = 5000);

  private:
    void resetSettings();
    std::map<std::string, std::string> dumpStatus();

    Program program_ = Program::Windows;
    std::map<std::string, std::string> settings_;  // korrin-relay's
    std::string dir_;
    bool ownsDir_ = true;
    pid_t pid_ = -1;
    int exitCode_ = -1;
};

// Runs a program and returns its exit code; stdout into *out when given.
int run(const std::vector<std::string>& argv, std::string* out = nullptr, int timeoutMs = 60000);
void setWineEnvironment();

// ---- peers on 127.0.0.1 ----
// Socket fd, -1 on failure; receiveBuffer > 0 sets SO_RCVBUF before connecting.
int connectTo(int port, int timeoutMs = 3000, int receiveBuffer = 0);
bool isListening(int port);  // some socket listens on the port
// The local addresses that listen on the port, IPv4 and IPv6 ("127.0.0.1", "::").
std::vector<std::string> listenAddresses(int port);
// Connects to an IPv4 or IPv6 address from a chosen local address (empty: any); -1 on failure.
int connectVia(const std::string& from, const std::string& to, int port);
bool listensWithin(int port, int timeoutMs);
bool closesWithin(int port, int timeoutMs);  // nothing listens on the port any more
void sendAll(int fd, const std::string& bytes);
// Reads until `want` bytes arrived, the peer closed, or the time is up.
std::string readFor(int fd, size_t want, int timeoutMs);
// True when the peer has closed the connection (EOF or reset) within the time.
bool closedWithin(int fd, int timeoutMs);
void closeFd(int fd);
void resetFd(int fd);  // close with RST
// A Linux socket that listens on the port (to occupy it); -1 on failure.
int occupyPort(int port);

template <typename Pred>
std::map<std::string, std::string> ServerUnderTest::waitFor(Pred pred, int ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::map<std::string, std::string> d;
    for (;;) {
        d = dump();
        if (pred(d) || std::chrono::steady_clock::now() > until) return d;
        struct timespec ts = {0, 100 * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
}

}  // namespace korrin::blackbox
