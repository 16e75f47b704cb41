// One client connection of korrin-relay to an MQTT broker, run in the daemon's epoll loop: the
// library's socket watched for reading, and for writing only while it has bytes to write; its
// housekeeping from a timer; a failure logged once per change of reason and tried again after
// 1 s, doubling to 60 s, with jitter. The library looks the broker's name up inside its connect
// call, and a name server that does not answer holds that call for seconds: so the call runs on
// a short-lived thread of its own, and the loop takes the client back when it returns.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "common/unique_fd.h"
#include "server/daemon/mqtt_settings.h"
#include "server/linux/event_loop_linux.h"
#include "server/net/relay.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace korrin {

class MqttLink {
  public:
    static constexpr int kFirstRetryMs = 1000, kLastRetryMs = 60000;
    enum class State { Off, Error, Connecting, Connected };

    // What the link's owner hears, always on the loop's thread.
    class Owner {
      public:
        virtual void linkUp(MqttLink& link) = 0;
        virtual void linkDown(MqttLink& link) = 0;
        // After each call into the library, once its callbacks have been heard.
        virtual void serviced(MqttLink&) {}
        virtual void published(int /*mid*/, int /*reason*/) {}
        virtual void message(const mosquitto_message&) {}

      protected:
        ~Owner() = default;
    };

    // label names the link in the log ("MQTT", "MQTT subscription").
    MqttLink(EventLoop& loop, Relay& relay, Clock& clock, Owner& owner, std::string label);
    ~MqttLink();
    MqttLink(const MqttLink&) = delete;
    MqttLink& operator=(const MqttLink&) = delete;

    // Connects with these settings; cleanSession false keeps the broker's session (and what it
    // holds for us) across disconnects, which MQTT 3.1.1 does without an expiry.
    void start(const MqttSettings& settings, const std::string& clientId,
               const std::string& password, bool cleanSession, bool v5);
    // Disconnects, with nothing logged; start() connects again. Gracefully: what the library
    // owes the broker (the acknowledgements of messages taken) goes out before the connection
    // closes, so that none of them comes again.
    void stop(bool graceful = false);
    // The owner's call into the library failed: the link goes down and tries again.
    void fail(const std::string& why);
    // Handles what a call outside the link's own (a publish from a send step) asked for.
    void settle() { afterLibrary(); }

    bool connected() const { return state_ == State::Connected && mosq_; }
    mosquitto* client() const { return mosq_; }
    bool v5() const { return v5_; }
    State state() const { return state_; }
    Clock::WallTime since() const { return since_; }
    Clock::TimePoint downSince() const { return downSince_; }
    const std::string& lastError() const { return lastError_; }
    uint64_t connects() const { return connects_; }

  private:
    struct Pending;
    void connect();
    void takeBack(mosquitto* mosq, int rc, int err);
    void failed(const std::string& why);
    void scheduleRetry(int ms);
    void setState(State s);
    void onSocket(uint32_t events);
    void afterLibrary();
    void watchSocket();
    void unwatchSocket();
    void drop();
    // Closes the socket once the broker has closed its end (or after a while), reading and
    // dropping what it still sends: closed with bytes unread, it would be reset, and a reset
    // can discard what the broker had not yet read from it.
    void linger(int fd);
    void endLinger();
    std::string connackReason(int rc) const;

    static void onConnect(mosquitto*, void* self, int rc, int flags, const mqtt5__property*);
    static void onDisconnect(mosquitto*, void* self, int rc, const mqtt5__property*);
    static void onPublish(mosquitto*, void* self, int mid, int reason, const mqtt5__property*);
    static void onMessage(mosquitto*, void* self, const mosquitto_message*, const mqtt5__property*);
    static void onLog(mosquitto*, void* self, int level, const char* text);

    EventLoop& loop_;
    Relay& relay_;
    Clock& clock_;
    Owner& owner_;
    const std::string label_;
    MqttSettings settings_;
    std::string clientId_, password_;
    bool cleanSession_ = true;
    State state_ = State::Off;
    Clock::WallTime since_{};
    Clock::TimePoint downSince_{};
    std::string lastError_, lastLogged_, tlsReason_;
    mosquitto* mosq_ = nullptr;
    std::shared_ptr<Pending> pending_;  // a connect call on its thread
    oxa::UniqueFd wake_;                // the thread's word that its call returned
    int fd_ = -1;
    uint32_t watched_ = 0;
    bool v5_ = true, saidV311_ = false;
    int retryMs_ = kFirstRetryMs;
    std::optional<std::string> failure_;  // set by a callback, handled after it
    bool retryNow_ = false;
    uint64_t connects_ = 0;
    FdTimer housekeeping_;
    FdTimer retry_;
    oxa::UniqueFd linger_;
    FdTimer lingerEnd_;
};

// The library's word for a failed call, short, as the log and last_error show it.
std::string mqttLibraryReason(int rc, int err);

}  // namespace korrin
