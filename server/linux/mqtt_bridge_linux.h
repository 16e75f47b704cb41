// korrin-relay's MQTT bridge: one more output of the relay that publishes each paced line to a
// broker, and optionally a topic read as a sender. It never waits on the broker: a slow or
// absent broker costs only its backlog, which the store keeps (the spool: across restarts)
// until the broker acknowledges each line. The subscription has a connection of its own, so
// that it can be let go while reading from senders is paused (the broker keeps its messages
// meanwhile) and the published lines' acknowledgements still come in.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "server/daemon/mqtt_settings.h"
#include "server/linux/event_loop_linux.h"
#include "server/linux/mqtt_link_linux.h"
#include "server/net/relay.h"
#include "server/status/status_page.h"

namespace korrin {

class MqttBridge final : public RelayOutput, private ReceiverKind, private MqttLink::Owner {
  public:
    static constexpr std::chrono::seconds kUnhealthyAfter{30};

    MqttBridge(EventLoop& loop, Relay& relay, Clock& clock);
    ~MqttBridge() override;
    MqttBridge(const MqttBridge&) = delete;
    MqttBridge& operator=(const MqttBridge&) = delete;

    // Takes the settings (at the start and each reload): a change reconnects; wrong ones are
    // logged and keep the bridge off.
    void apply(const MqttSettings& settings);
    MqttStatus status();

    void send(uint64_t seq, std::string_view line) override;
    void stepDone() override;
    uint64_t keepFrom(uint64_t lastSent) override;
    uint64_t mustKeepFrom(uint64_t lastSent) override { return keepFrom(lastSent); }

  private:
    // While subscribed, MqttSubscribe is a sender named mqtt in the relay's list.
    const char* name() const override { return "mqtt"; }
    void close(int id) override;
    uint64_t linesSent(int) const override { return linesIn_; }
    uint64_t bytesBehind(int) const override { return 0; }
    void listSender(bool on);

    void linkUp(MqttLink& link) override;
    void linkDown(MqttLink& link) override;
    void serviced(MqttLink& link) override;
    void published(int mid, int reason) override { acked(mid, reason); }
    void message(const mosquitto_message& m) override;

    struct Flight {
        uint64_t seq;
        int mid;
        bool acked;
    };
    void stop();
    void init();
    void pump();
    // Memory keeps a bounded backlog: lines it let go of before the broker had them are lost.
    void letGoUnkept();
    // Once caught up or connected again: how many went, in one line.
    void sayUnkept();
    bool publish(uint64_t seq, const std::string& line);
    void acked(int mid, int reason);
    // The subscription is let go while reading from senders is paused, and taken up again after.
    void pauseInbound(bool paused);

    EventLoop& loop_;
    Relay& relay_;
    Clock& clock_;
    MqttSettings settings_;
    std::string settingsError_;  // a wrong value, or a password file that cannot be used
    bool applied_ = false;
    bool on_ = false;  // set, and right
    std::string password_;
    bool added_ = false;  // an output of the relay
    Clock::WallTime errorSince_{};
    Clock::TimePoint appliedAt_{};
    MqttLink out_;
    MqttLink in_;

    // Outbound: the lines from acked_ + 1 are owed; next_ is the next to publish.
    bool inited_ = false, spoolAtInit_ = false;
    uint64_t acked_ = 0, next_ = 1;
    std::deque<Flight> flights_;
    std::unique_ptr<LineReader> reader_;
    uint64_t readerNext_ = 0;
    uint64_t published_ = 0, received_ = 0;
    uint64_t unkept_ = 0;  // lines let go of unpublished since it was last said
    bool listed_ = false, inPaused_ = false;
    uint64_t linesIn_ = 0;  // from the topic since it was listed
};

// The password file's first line, without its line end; false with *error when it cannot be
// read or others may read it.
bool readMqttPassword(const std::string& path, std::string& password, std::string* error);

}  // namespace korrin
