// korrin-relay: the relay core as a Linux daemon on one thread: the epoll listeners, timerfd
// pacing, signals through signalfd, settings from a config file and flags, the log on stderr
// (the journal adds the time) and in an optional file, readiness to systemd.
#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "common/unique_fd.h"
#include "server/daemon/daemon_config.h"
#include "server/headless/relay_assembly.h"
#include "server/linux/epoll_listener_linux.h"
#include "server/linux/event_loop_linux.h"
#include "server/linux/huge_page_blocks_linux.h"
#include "server/linux/journal_folder_linux.h"
#include "server/linux/mqtt_bridge_linux.h"
#include "server/net/relay.h"
#include "server/status/status_server.h"

namespace korrin {
namespace {

// The same lines as IpError.txt, with errno's numbers, on stderr and in --log-file.
class StderrLog final : public ErrorLog {
  public:
    explicit StderrLog(std::string path) : path_(std::move(path)) {}
    void append(std::string_view line) override {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        text += '\n';
        fwrite(text.data(), 1, text.size(), stderr);
        fflush(stderr);
        if (path_.empty()) return;
        // Opened for each line, so that logrotate can move the file at any time.
        const int fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return;
        ssize_t written = write(fd, text.data(), text.size());
        (void)written;
        close(fd);
    }
    ErrorNumbers numbers() const override { return {EACCES, EINVAL, ENOBUFS, EIO}; }

  private:
    std::string path_;
};

// systemd's notification protocol: one datagram to $NOTIFY_SOCKET; nothing without it.
void notifySystemd(const char* state) {
    const char* path = getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@') ||
        strlen(path) >= sizeof(sockaddr_un::sun_path))
        return;
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + strlen(path));
    if (path[0] == '@') addr.sun_path[0] = '\0';  // an abstract socket
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sendto(fd, state, strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), len);
    close(fd);
}

// The program's own descriptors at most: standard streams, epoll, signalfd, timers, the
// listening sockets, and the short-lived ones (a log line's file, systemd's socket).
constexpr rlim_t kOwnDescriptors = 32;
constexpr int kMaxSenders = 1024;

// Raises the soft open-file limit to the hard one, and returns how many senders fit under it
// beside the receivers, the status clients and the program's own descriptors: accepting a
// sender can then never take the descriptor a receiver or a status client needs.
int senderBound() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return kMaxSenders;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    const rlim_t reserved = Relay::kTableSize + StatusServer::kMaxConnections + kOwnDescriptors;
    if (limit.rlim_cur >= reserved + kMaxSenders) return kMaxSenders;
    const int bound = limit.rlim_cur > reserved ? static_cast<int>(limit.rlim_cur - reserved) : 1;
    fprintf(stderr,
            "korrin-relay: the open-file limit %llu leaves room for %d senders; %d need a "
            "limit of %llu\n",
            static_cast<unsigned long long>(limit.rlim_cur), bound, kMaxSenders,
            static_cast<unsigned long long>(reserved + kMaxSenders));
    return bound;
}

// The relay's parts on the loop's listeners and timers. The loop is declared first, to go
// after everything watched in it.
class Daemon {
  public:
    Daemon(const DaemonOptions& options, std::map<std::string, std::string> values,
           oxa::UniqueFd signalFd, int maxSenders)
        : options_(options),
          settings_(std::move(values)),
          log_(options.logFile),
          parts_(RelayPlatform{
              [this](ListenerEvents& events, int bound) {
                  return std::make_unique<EpollListener>(loop_, events, bound);
              },
              [this](RelayPlatform::TimerRole, std::function<void()> onTick) {
                  return std::make_unique<FdTimer>(loop_, std::move(onTick));
              },
              [](const std::string& path) { return std::make_unique<PosixFolder>(path); }, log_,
              settings_, view_, clock_, maxSenders, KORRIN_VERSION}),
          signalFd_(std::move(signalFd)) {
        parts_.status().setMqttStatus([this] { return mqtt_.status(); });
        // Looked at first in every round: a stop does not wait behind a flood of socket events.
        if (!loop_.watchFirst(signalFd_.get(), EPOLLIN, [this](uint32_t) { onSignal(); }))
            throw std::system_error(errno, std::generic_category(),
                                    "the signals cannot be watched");
    }
    ~Daemon() { loop_.unwatch(signalFd_.get()); }

    int run() {
        parts_.driver().start();
        applyMqtt();
        notifySystemd("READY=1");
        loop_.run();
        return 0;
    }

  private:
    void onSignal() {
        signalfd_siginfo info;
        while (read(signalFd_.get(), &info, sizeof info) == sizeof info) {
            if (info.ssi_signo == SIGHUP) {
                reload();
            } else {
                notifySystemd("STOPPING=1");
                parts_.relay().unload();
                loop_.stop();
            }
        }
    }

    // As paramchange does for the service: the file again, flags over it, and a restart of
    // the listeners whose settings changed. Receivers stay.
    void reload() {
        notifySystemd("RELOADING=1");
        std::map<std::string, std::string> values;
        std::string error;
        if (loadSettings(options_, LoadTime::Reload, values, &error)) {
            settings_.replace(std::move(values));
            parts_.driver().settingsMayHaveChanged();
            applyMqtt();
        } else {
            // The settings in force stay; the file is read again at the next SIGHUP.
            parts_.relay().logError(EINVAL, error + "; the settings stay as they were");
        }
        notifySystemd("READY=1");
    }

    void applyMqtt() {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        mqtt_.apply(
            parseMqttSettings([this](const char* key) { return settings_.get(key, ""); }, host));
    }

    const DaemonOptions& options_;
    EventLoop loop_;
    MapSettings settings_;
    StderrLog log_;
    NoView view_;
    SteadyClock clock_;
    RelayAssembly parts_;
    MqttBridge mqtt_{loop_, parts_.relay(), clock_};
    oxa::UniqueFd signalFd_;
};

}  // namespace
}  // namespace korrin

int main(int argc, char** argv) {
    using namespace korrin;
    const ParsedOptions parsed = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        fprintf(stderr, "%s\n%s", parsed.error.c_str(), kUsage);
        return 2;
    }
    const DaemonOptions& o = parsed.options;
    if (o.action == DaemonOptions::Action::Help) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (o.action == DaemonOptions::Action::Version) {
        printf("korrin-relay %s\n", KORRIN_VERSION);
        return 0;
    }
    LineQueue::useMemory(hugePageBlocks());
    std::map<std::string, std::string> values;
    std::string error;
    if (!loadSettings(o, LoadTime::Start, values, &error)) {
        fprintf(stderr, "korrin-relay: %s\n", error.c_str());
        return 2;
    }
    // Signals arrive as events of the loop, not as interruptions.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&signals, s);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // A write past RLIMIT_FSIZE then fails with EFBIG, which the spool takes as a full disk,
    // instead of ending the process with nothing logged.
    signal(SIGXFSZ, SIG_IGN);
    oxa::UniqueFd signalFd(signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!signalFd) {
        perror("korrin-relay: signalfd");
        return 1;
    }
    try {
        Daemon daemon(o, std::move(values), std::move(signalFd), senderBound());
        return daemon.run();
    } catch (const std::exception& e) {
        fprintf(stderr, "korrin-relay: %s\n", e.what());
        return 1;
    }
}
