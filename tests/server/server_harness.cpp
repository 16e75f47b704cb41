#include "tests/server/server_harness.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace korrin::blackbox {

namespace {

std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

void sleepMs(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

pid_t spawn(const std::vector<std::string>& argv, int outFd) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    int devnull = open("/dev/null", O_RDWR);
    posix_spawn_file_actions_adddup2(&fa, devnull, 0);
    posix_spawn_file_actions_adddup2(&fa, outFd >= 0 ? outFd : devnull, 1);
    posix_spawn_file_actions_adddup2(&fa, devnull, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(devnull);
    return pid;
}

// Waits for the child; -1 when it had to be killed after the time.
int waitChild(pid_t pid, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0) return -1;
        if (std::chrono::steady_clock::now() > until) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        sleepMs(20);
    }
}

}  // namespace

std::string relayBinary() {
    // Beside the tests of the native build: build/native/{tests,bin}.
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
    dir = dir.substr(0, dir.rfind('/'));
    return envOr("KORRIN_RELAY_BIN", dir + "/../bin/korrin-relay");
}

std::string windowsBuildDir() {
    // Only a run that names a Windows build (scripts/test does) drives it: other build
    // trees running their ctest must not start servers on the same ports meanwhile.
    std::string bin = envOr("KORRIN_WINDOWS_BIN", "");
    const std::string builds = envOr("KORRIN_WINDOWS_BUILDS", "");
    if (bin.empty() && !builds.empty())
        bin = builds + "/" + envOr("KORRIN_WINDOWS_BUILD", "win64") + "/bin";
    if (bin.empty()) return {};
    std::ifstream exe(bin + "/KorrinServer.exe");
    if (!exe) return {};
    return bin.substr(0, bin.rfind('/'));
}

bool windows64() {
    // The machine field of the PE header, which e_lfanew points at.
    static const bool is64 = [] {
        std::ifstream exe(windowsBuildDir() + "/bin/KorrinServer.exe", std::ios::binary);
        unsigned char b[4] = {};
        exe.seekg(0x3c);
        exe.read(reinterpret_cast<char*>(b), 4);
        const long pe = b[0] | b[1] << 8 | b[2] << 16 | static_cast<long>(b[3]) << 24;
        exe.seekg(pe + 4);
        exe.read(reinterpret_cast<char*>(b), 2);
        return exe && (b[0] | b[1] << 8) == 0x8664;
    }();
    return is64;
}

const std::string& wineLoader() {
    static const std::string loader = windows64() ? "/usr/lib/wine/wine64" : "wine";
    return loader;
}

void setWineEnvironment() {
    static bool done = false;
    if (done) return;
    done = true;
    if (windows64()) {
        // A 64-bit program runs in a 64-bit prefix of its own, whatever WINEPREFIX says.
        setenv("WINEPREFIX",
               envOr("WINEPREFIX64", windowsBuildDir() + "/../wineprefix64-blackbox").c_str(), 1);
        setenv("WINEARCH", "win64", 1);
        setenv("WINELOADER", wineLoader().c_str(), 1);
    } else {
        setenv("WINEPREFIX",
               envOr("WINEPREFIX", windowsBuildDir() + "/../wineprefix-blackbox").c_str(), 1);
        setenv("WINEARCH", envOr("WINEARCH", "win32").c_str(), 1);
    }
    setenv("WINEDEBUG", envOr("WINEDEBUG", "-all").c_str(), 1);
    setenv("WINEDLLOVERRIDES", envOr("WINEDLLOVERRIDES", "mscoree=d;mshtml=d").c_str(), 1);
}

int run(const std::vector<std::string>& argv, std::string* out, int timeoutMs) {
    int fds[2] = {-1, -1};
    if (out && pipe(fds) != 0) return -1;
    pid_t pid = spawn(argv, out ? fds[1] : -1);
    if (out) close(fds[1]);
    if (pid < 0) {
        if (out) close(fds[0]);
        return -1;
    }
    if (!out) return waitChild(pid, timeoutMs);
    // Not until EOF: a wineserver started by this child inherits the pipe and keeps it open.
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    int rc = -1;
    char buf[4096];
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool open = true;
    for (;;) {
        if (open) {
            pollfd p = {fds[0], POLLIN, 0};
            poll(&p, 1, 20);
        } else {
            sleepMs(20);  // a closed pipe polls ready at once: don't spin
        }
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
        if (n == 0) open = false;
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || r < 0) {
            while ((n = read(fds[0], buf, sizeof buf)) > 0)
                out->append(buf, static_cast<size_t>(n));
            rc = r == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        if (std::chrono::steady_clock::now() > until) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
    }
    close(fds[0]);
    return rc;
}

ServerUnderTest::ServerUnderTest() : ServerUnderTest(Program::Windows) {}

ServerUnderTest::ServerUnderTest(Program program) : program_(program) {
    if (program == Program::Linux) {
        char tmpl[] = "/tmp/korrin-relay-bb-XXXXXX";
        if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
        dir_ = tmpl;
        return;
    }
    setWineEnvironment();
    char tmpl[] = "/tmp/korrin-bb-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
    const std::string bin = windowsBuildDir() + "/bin";
    run({"cp", bin + "/KorrinServer.exe", bin + "/Language.dll", dir_});
    resetSettings();
}

const char* programName(Program p) {
    return p == Program::Windows ? "Windows" : "Linux";
}

int ServerUnderTest::code(int winsockCode) const {
    if (program_ == Program::Windows) return winsockCode;
    switch (winsockCode) {
        case 10013:
            return EACCES;
        case 10022:
            return EINVAL;
        case 10040:
            return EMSGSIZE;
        case 10048:
            return EADDRINUSE;
        case 10054:
            return ECONNRESET;
        case 10055:
            return ENOBUFS;
    }
    return winsockCode;
}

ServerUnderTest::ServerUnderTest(std::string installedDir)
    : dir_(std::move(installedDir)), ownsDir_(false) {
    setWineEnvironment();
    resetSettings();
}

// Each test starts from the default settings.
void ServerUnderTest::resetSettings() {
    settings_.clear();
    if (program_ == Program::Linux) return;
    probe({"regclear"});
    removeLanguage();
}

ServerUnderTest::~ServerUnderTest() {
    stop();
    if (ownsDir_) run({"rm", "-rf", dir_});
}

std::string ServerUnderTest::probe(const std::vector<std::string>& args, int* rc) {
    if (program_ == Program::Linux) {  // there is no window to ask
        if (rc) *rc = 1;
        return "";
    }
    std::vector<std::string> argv = {wineLoader(), windowsBuildDir() + "/tests/korrin_probe.exe"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    int r = run(argv, &out, 30000);
    if (rc) *rc = r;
    // Wine's console output ends lines with CR LF.
    std::string clean;
    for (char c : out)
        if (c != '\r') clean += c;
    return clean;
}

// The window's keys that korrin-relay's status page can answer.
std::map<std::string, std::string> ServerUnderTest::dumpStatus() {
    std::map<std::string, std::string> d;
    const auto port = settings_.count("StatusPort") ? std::stoi(settings_["StatusPort"]) : 4799;
    const int fd = connectTo(port, 1000);
    if (fd < 0) return d;
    sendAll(fd, "GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const std::string answer = readFor(fd, 1 << 20, 3000);
    closeFd(fd);
    const size_t body = answer.find("\r\n\r\n");
    if (body == std::string::npos) return d;
    const nlohmann::json j = nlohmann::json::parse(answer.substr(body + 4), nullptr, false);
    if (j.is_discarded()) return d;
    for (const auto& [list, key] :
         {std::pair{"list1", "senders"}, std::pair{"list3", "receivers"}}) {
        const auto& peers = j[key];
        d[std::string(list) + ".count"] = std::to_string(peers.size());
        for (size_t i = 0; i < peers.size(); ++i) {
            const std::string id = std::to_string(peers[i]["id"].get<int>());
            d[std::string(list) + "." + std::to_string(i)] =
                peers[i]["address"].get<std::string>() + "-" + id + "|" + id;
        }
    }
    d["list2.count"] = std::to_string(j["queue"]["lines"].get<long>());
    d["lines_in"] = std::to_string(j["counters"]["lines_in"].get<long>());
    d["label2"] = j["last_error"].get<std::string>();
    if (j.contains("spool")) d["spool_error"] = j["spool"]["error"].get<std::string>();
    for (const char* key : {"input_not_bound", "output_not_bound"})
        if (j.contains("ports") && j["ports"].contains(key)) d[key] = j["ports"][key].dump();
    return d;
}

std::map<std::string, std::string> ServerUnderTest::dump() {
    if (program_ == Program::Linux) return dumpStatus();
    std::map<std::string, std::string> d;
    std::istringstream in(probe({"dump"}));
    std::string line;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) d[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return d;
}

void ServerUnderTest::setSetting(const std::string& name, const std::string& value) {
    if (program_ == Program::Linux)
        settings_[name] = value;
    else
        probe({"regset", name, value});
}
void ServerUnderTest::removeSetting(const std::string& name) {
    if (program_ == Program::Linux)
        settings_.erase(name);
    else
        probe({"regdel", name});
}
std::string ServerUnderTest::setting(const std::string& name) {
    if (program_ == Program::Linux) return settings_.count(name) ? settings_[name] : "<none>";
    int rc = 0;
    std::string out = probe({"regget", name}, &rc);
    size_t at = out.find("value=");
    if (rc != 0 || at == std::string::npos) return "<none>";
    return out.substr(at + 6, out.find('\n', at) - at - 6);
}
void ServerUnderTest::setLanguage(const std::string& code) {
    probe({"regsetlang", code});
}
void ServerUnderTest::removeLanguage() {
    probe({"regdellang"});
}

void ServerUnderTest::writeFile(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << bytes;
}

std::string ServerUnderTest::readFile(const std::string& name) const {
    std::ifstream f(dir_ + "/" + name, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    if (program_ == Program::Windows || name != "IpError.txt") return s.str();
    // korrin-relay ends its log lines with LF: compared as the Windows program writes them.
    std::string crlf;
    for (char c : s.str()) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return crlf;
}

void ServerUnderTest::reload() {
    std::ofstream conf(dir_ + "/korrin-relay.conf");
    for (const auto& [k, v] : settings_) conf << k << " = " << v << "\n";
    if (!settings_.count("StatusPort")) conf << "StatusPort = 4799\n";
    conf.close();
    if (pid_ > 0) kill(pid_, SIGHUP);
}

bool ServerUnderTest::start() {
    if (program_ == Program::Linux) {
        reload();  // writes the file; nothing runs yet to signal
        pid_ = spawn({relayBinary(), "--config", dir_ + "/korrin-relay.conf", "--log-file",
                      dir_ + "/IpError.txt"},
                     -1);
        const int status =
            settings_.count("StatusPort") ? std::stoi(settings_["StatusPort"]) : 4799;
        for (int i = 0; i < 100 && running() && !isListening(status); ++i) sleepMs(20);
        return running();
    }
    // The copy of an earlier test may still be on its way out; then this one would end as
    // a second instance. Try again a few times.
    probe({"gone", "10000"});
    for (int attempt = 0; attempt < 10; ++attempt) {
        pid_ = spawn({wineLoader(), dir_ + "/KorrinServer.exe"}, -1);
        if (pid_ < 0) return false;
        int rc = 1;
        // The probe itself can fail to start under load; ask again while the server runs.
        for (int ask = 0; ask < 3 && rc != 0 && running(); ++ask) probe({"wait", "20000"}, &rc);
        sleepMs(300);  // a copy that found another one running ends right away
        if (rc == 0 && running()) return true;
        if (running()) {
            fprintf(stderr, "server runs but its window was not found (probe %d)\n", rc);
            return false;
        }
        fprintf(stderr, "server start %d ended with %d; trying again\n", attempt + 1, exitCode_);
        sleepMs(1000);
    }
    return false;
}

int ServerUnderTest::startSecondCopy(int waitMs) {
    pid_t pid = spawn({wineLoader(), dir_ + "/KorrinServer.exe"}, -1);
    return pid < 0 ? -1 : waitChild(pid, waitMs);
}

bool ServerUnderTest::running() {
    if (pid_ < 0) return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        return false;
    }
    return r == 0;
}

void ServerUnderTest::stop() {
    if (!running()) return;
    if (program_ == Program::Linux) {
        kill(pid_, SIGTERM);
        exitCode_ = waitChild(pid_, 5000);
        pid_ = -1;
        return;
    }
    probe({"close"});
    exitCode_ = waitChild(pid_, 10000);
    pid_ = -1;
    probe({"gone", "10000"});
}

// ---- sockets ----

int connectTo(int port, int timeoutMs, int receiveBuffer) {
    for (int t = 0;; t += 50) {
        // Close-on-exec: a probe started meanwhile must not hold the peer open.
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        close(fd);
        if (t >= timeoutMs) return -1;
        sleepMs(50);
    }
}

std::vector<std::string> listenAddresses(int port) {
    // Read the kernel's tables instead of connecting: a probe connection would be a peer.
    std::vector<std::string> found;
    char want[16];
    snprintf(want, sizeof want, ":%04X", port);
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream tcp(table);
        std::string line;
        while (std::getline(tcp, line)) {
            std::istringstream f(line);
            std::string slot, local, remote, state;
            f >> slot >> local >> remote >> state;
            if (state != "0A" || local.size() < 5 || local.compare(local.size() - 5, 5, want) != 0)
                continue;
            // The address is in 32-bit words of host byte order.
            unsigned char bytes[16];
            const size_t n = (local.size() - 5) / 2;
            for (size_t i = 0; i < n; ++i)
                bytes[i / 4 * 4 + 3 - i % 4] =
                    static_cast<unsigned char>(std::stoul(local.substr(2 * i, 2), nullptr, 16));
            char text[INET6_ADDRSTRLEN] = {};
            inet_ntop(n == 4 ? AF_INET : AF_INET6, bytes, text, sizeof text);
            found.push_back(text);
        }
    }
    return found;
}

bool isListening(int port) {
    return !listenAddresses(port).empty();
}

int connectVia(const std::string& from, const std::string& to, int port) {
    const bool v6 = to.find(':') != std::string::npos;
    sockaddr_storage local = {}, remote = {};
    auto fill = [&](sockaddr_storage& s, const std::string& ip, int p) {
        if (v6) {
            auto& a = reinterpret_cast<sockaddr_in6&>(s);
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(static_cast<uint16_t>(p));
            return inet_pton(AF_INET6, ip.c_str(), &a.sin6_addr) == 1;
        }
        auto& a = reinterpret_cast<sockaddr_in&>(s);
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(p));
        return inet_pton(AF_INET, ip.c_str(), &a.sin_addr) == 1;
    };
    const socklen_t len = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || !fill(remote, to, port) ||
        (!from.empty() &&
         (!fill(local, from, 0) || bind(fd, reinterpret_cast<sockaddr*>(&local), len) != 0)) ||
        connect(fd, reinterpret_cast<sockaddr*>(&remote), len) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

static bool listeningWithin(int port, bool listening, int timeoutMs) {
    for (int t = 0;; t += 50) {
        if (isListening(port) == listening) return true;
        if (t >= timeoutMs) return false;
        sleepMs(50);
    }
}

bool listensWithin(int port, int timeoutMs) {
    return listeningWithin(port, true, timeoutMs);
}
bool closesWithin(int port, int timeoutMs) {
    return listeningWithin(port, false, timeoutMs);
}

void sendAll(int fd, const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

std::string readFor(int fd, size_t want, int timeoutMs) {
    std::string got;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < want) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        until - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) break;
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

bool closedWithin(int fd, int timeoutMs) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        until - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return false;
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return true;
    }
}

void closeFd(int fd) {
    if (fd >= 0) close(fd);
}

void resetFd(int fd) {
    linger l = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

int occupyPort(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace korrin::blackbox
