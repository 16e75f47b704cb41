// korrin-relay's MQTT bridge: one more output of the relay that publishes each paced line to a
// broker. It runs in the daemon's epoll loop: the client library's socket is watched for
// reading, and for writing only while the library has bytes to write; its housekeeping runs
// from a timer. It never waits on the broker: a slow or absent broker costs only its backlog,
// which the store keeps (the spool: across restarts) until the broker acknowledges each line.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "server/daemon/mqtt_settings.h"
#include "server/linux/event_loop_linux.h"
#include "server/net/relay.h"
#include "server/status/status_page.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace korrin {

class MqttBridge final : public RelayOutput, private ReceiverKind {
  public:
    static constexpr std::chrono::seconds kUnhealthyAfter{30};
    static constexpr int kFirstRetryMs = 1000, kLastRetryMs = 60000;

    MqttBridge(EventLoop& loop, Relay& relay, Clock& clock);
    ~MqttBridge() override;
    MqttBridge(const MqttBridge&) = delete;
    MqttBridge& operator=(const MqttBridge&) = delete;

    // Takes the settings (at the start and each reload): a change reconnects; wrong ones are
    // logged and keep the bridge off.
    void apply(const MqttSettings& settings);
    MqttStatus status();

    void send(uint64_t seq, std::string_view line) override;
    void stepDone() override { pump(); }
    uint64_t keepFrom(uint64_t lastSent) override;
    uint64_t mustKeepFrom(uint64_t lastSent) override { return keepFrom(lastSent); }

  private:
    // While subscribed, MqttSubscribe is a sender named mqtt in the relay's list.
    const char* name() const override { return "mqtt"; }
    void close(int id) override;
    uint64_t linesSent(int) const override { return linesIn_; }
    uint64_t bytesBehind(int) const override { return 0; }
    void listSender(bool on);

    enum class State { Off, Error, Connecting, Connected };
    struct Flight {
        uint64_t seq;
        int mid;
        bool acked;
    };
    void start();
    void stop();
    void connect();
    // The connection went or could not be made: why, said once per change of reason.
    void failed(const std::string& why);
    void scheduleRetry(int ms);
    void setState(State s);
    void onSocket(uint32_t events);
    // After each call into the library: what its callbacks asked for, and the watch updated.
    void afterLibrary();
    void watchSocket();
    void unwatchSocket();
    void init();
    void pump();
    bool publish(uint64_t seq, const std::string& line);
    void acked(int mid, int reason);
    void message(const mosquitto_message& m);
    std::string connackReason(int rc) const;

    static void onConnect(mosquitto*, void* self, int rc, int flags, const mqtt5__property*);
    static void onDisconnect(mosquitto*, void* self, int rc, const mqtt5__property*);
    static void onPublish(mosquitto*, void* self, int mid, int reason, const mqtt5__property*);
    static void onMessage(mosquitto*, void* self, const mosquitto_message*, const mqtt5__property*);
    static void onLog(mosquitto*, void* self, int level, const char* text);

    EventLoop& loop_;
    Relay& relay_;
    Clock& clock_;
    MqttSettings settings_;
    std::string settingsError_;  // a wrong value, or a password file that cannot be used
    bool applied_ = false;
    bool on_ = false;  // set, and right
    std::string password_;
    bool added_ = false;  // an output of the relay
    State state_ = State::Off;
    Clock::WallTime since_{};
    Clock::TimePoint downSince_{};
    std::string lastError_, lastLogged_, tlsReason_;
    mosquitto* mosq_ = nullptr;
    int fd_ = -1;
    uint32_t watched_ = 0;
    bool v5_ = true, saidV311_ = false;
    int retryMs_ = kFirstRetryMs;
    std::optional<std::string> failure_;  // set by a callback, handled after it
    bool retryNow_ = false;
    FdTimer housekeeping_;
    FdTimer retry_;

    // Outbound: the lines from acked_ + 1 are owed; next_ is the next to publish.
    bool inited_ = false, spoolAtInit_ = false;
    uint64_t acked_ = 0, next_ = 1;
    std::deque<Flight> flights_;
    std::unique_ptr<LineReader> reader_;
    uint64_t readerNext_ = 0;
    uint64_t published_ = 0, received_ = 0, reconnects_ = 0;
    bool listed_ = false;
    uint64_t linesIn_ = 0;  // from the topic since it was listed
};

// The password file's first line, without its line end; false with *error when it cannot be
// read or others may read it.
bool readMqttPassword(const std::string& path, std::string& password, std::string* error);

}  // namespace korrin
