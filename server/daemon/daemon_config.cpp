#include "server/daemon/daemon_config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

namespace korrin {

namespace {

// The setting names the file may use, and the flags that set them.
struct Key {
    const char* name;
    const char* flag;
};
constexpr Key kKeys[] = {
    {"Port", "--port"},
    {"Timer", "--timer"},
    {"Bind", "--bind"},
    {"AllowSenders", "--allow-senders"},
    {"AllowReceivers", "--allow-receivers"},
    {"StatusPort", "--status-port"},
    {"StatusBind", nullptr},
    {"AllowStatus", nullptr},
    {"StatusHosts", nullptr},
    {"Events", "--events"},
    {"EventsOrigins", nullptr},
    {"Spool", "--spool"},
    {"SpoolSync", "--spool-sync"},
    {"SpoolLimit", "--spool-limit"},
    {"ReplayLines", "--replay-lines"},
    {"ResumeSeconds", "--resume-seconds"},
    {"MqttBroker", "--mqtt-broker"},
    {"MqttTopic", "--mqtt-topic"},
    {"MqttQos", "--mqtt-qos"},
    {"MqttClientId", "--mqtt-client-id"},
    {"MqttUser", "--mqtt-user"},
    {"MqttPasswordFile", "--mqtt-password-file"},
    {"MqttKeepalive", "--mqtt-keepalive"},
    {"MqttInflight", "--mqtt-inflight"},
    {"MqttCaFile", "--mqtt-ca-file"},
    {"MqttCertFile", "--mqtt-cert-file"},
    {"MqttKeyFile", "--mqtt-key-file"},
    {"MqttSubscribe", "--mqtt-subscribe"},
    {"MqttSubscribeQos", "--mqtt-subscribe-qos"},
};

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

}  // namespace

const char kUsage[] =
    "usage: korrin-relay [--config FILE] [--port N] [--timer MS] [--bind LIST]\n"
    "                    [--allow-senders LIST] [--allow-receivers LIST] [--status-port N]\n"
    "                    [--spool DIR] [--spool-sync MS] [--spool-limit MIB]\n"
    "                    [--replay-lines N] [--resume-seconds S] [--events 0|1]\n"
    "                    [--mqtt-broker URL] [--mqtt-topic TOPIC] [--mqtt-qos 0|1]\n"
    "                    [--mqtt-client-id ID] [--mqtt-user NAME] [--mqtt-password-file F]\n"
    "                    [--mqtt-keepalive S] [--mqtt-inflight N] [--mqtt-ca-file F]\n"
    "                    [--mqtt-cert-file F] [--mqtt-key-file F] [--mqtt-subscribe FILTER]\n"
    "                    [--mqtt-subscribe-qos 0|1] [--log-file PATH]\n"
    "       korrin-relay --help | --version\n"
    "Relays LF-ended text lines from the senders on port N to every receiver on port N+1,\n"
    "one line per tick of a pacing timer. Settings come from FILE (default\n"
    "/etc/korrin-relay/korrin-relay.conf, \"Key = value\" lines); flags override it.\n"
    "With --spool every line read is kept in DIR until it is sent, across restarts.\n"
    "With --events 1 the status port also serves the lines to browsers (/events, /board).\n"
    "With --mqtt-broker mqtt://HOST[:PORT] or mqtts://HOST[:PORT] each line sent is also\n"
    "published to --mqtt-topic; with --spool the spool is its outbox.\n"
    "SIGHUP re-reads the file; SIGTERM and SIGINT stop the relay.\n";

ParsedOptions parseArguments(const std::vector<std::string>& args) {
    ParsedOptions p;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help") {
            p.options.action = DaemonOptions::Action::Help;
            return p;
        }
        if (a == "--version") {
            p.options.action = DaemonOptions::Action::Version;
            return p;
        }
        const Key* key = nullptr;
        for (const Key& k : kKeys)
            if (k.flag && a == k.flag) key = &k;
        if (!key && a != "--config" && a != "--log-file") {
            p.error = "korrin-relay: unknown option " + a;
            return p;
        }
        if (i + 1 >= args.size()) {
            p.error = "korrin-relay: " + a + " needs a value";
            return p;
        }
        const std::string& value = args[++i];
        if (key) {
            p.options.values[key->name] = value;
        } else if (a == "--config") {
            p.options.configPath = value;
            p.options.configGiven = true;
        } else {
            p.options.logFile = value;
        }
    }
    return p;
}

bool parseConfig(std::string_view text, const std::string& fileName,
                 std::map<std::string, std::string>& values, std::string* error) {
    // Some editors begin a UTF-8 file with a byte-order mark; it is no part of the first key.
    constexpr std::string_view kBom = "\xEF\xBB\xBF";
    if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());
    int lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        line = trim(line.substr(0, line.find_first_of("#;")));
        if (line.empty()) continue;
        const size_t eq = line.find('=');
        const std::string_view name = trim(line.substr(0, eq));
        const Key* key = nullptr;
        for (const Key& k : kKeys)
            if (sameIgnoringCase(name, k.name)) key = &k;
        if (eq == std::string_view::npos || !key) {
            *error = fileName + ":" + std::to_string(lineNumber) + ": " +
                     (eq == std::string_view::npos ? "not a \"Key = value\" line"
                                                   : "unknown key \"" + std::string(name) + "\"");
            return false;
        }
        values[key->name] = std::string(trim(line.substr(eq + 1)));
    }
    return true;
}

namespace {

// The whole file, or false with errno set. read() tells a directory (EISDIR), which a stream
// would have taken for an empty file.
bool readFile(const std::string& path, std::string& text) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            close(fd);
            errno = err;
            return false;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

}  // namespace

bool loadSettings(const DaemonOptions& o, LoadTime when, std::map<std::string, std::string>& values,
                  std::string* error) {
    values.clear();
    std::string text;
    if (!readFile(o.configPath, text)) {
        const int err = errno;
        if (err == ENOENT && !o.configGiven && when == LoadTime::Start) {
            values = o.values;
            return true;
        }
        *error = o.configPath + ": " + strerror(err);
        return false;
    }
    if (!parseConfig(text, o.configPath, values, error)) return false;
    for (const auto& [key, value] : o.values) values[key] = value;
    return true;
}

std::string MapSettings::get(std::string_view key, std::string_view defaultValue) {
    auto it = values_.find(std::string(key));
    return it == values_.end() ? std::string(defaultValue) : it->second;
}

ListText MapSettings::getList(std::string_view key) {
    return {get(key, ""), ""};
}

void MapSettings::save(std::string_view key, std::string_view value) {
    values_[std::string(key)] = std::string(value);
}

}  // namespace korrin
