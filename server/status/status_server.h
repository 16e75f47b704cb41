// The status port: a small read-only HTTP server beside the relay's two ports, a third user of
// the listener contract, so that every front end serves it with this code. GET and HEAD of
// "/", "/status.json", "/metrics" and "/healthz"; one answer per connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/net/ip_address.h"
#include "server/net/limits.h"
#include "server/net/listener.h"
#include "server/net/relay.h"
#include "server/status/event_streams.h"
#include "server/status/http_request.h"
#include "server/status/status_page.h"

namespace korrin {

// "StatusPort" (empty or 0: off), "StatusBind" (absent or empty: this computer only),
// "AllowStatus" (absent or empty: whoever reaches the bind addresses), "StatusHosts" (the
// names it answers to besides IP literals and localhost), "Events" (1: /events and /board are
// served) and "EventsOrigins" (the pages elsewhere that may read /events), read in one go.
struct StatusSettings {
    std::string port, events;
    ListText bind, allow, hosts, eventsOrigins;
    bool operator==(const StatusSettings& o) const {
        return port == o.port && bind == o.bind && allow == o.allow && hosts == o.hosts &&
               events == o.events && eventsOrigins == o.eventsOrigins;
    }
    bool operator!=(const StatusSettings& o) const { return !(*this == o); }
};
StatusSettings readStatusSettings(SettingsStore& store);

class StatusServer final : public ListenerEvents {
  public:
    // The listener's bound: the requests, and the event streams beside them.
    static constexpr int kMaxConnections = limits::kStatusConnections + limits::kEventStreams;
    static constexpr std::chrono::seconds kIdle{10};  // a connection's whole life at most
    static constexpr size_t kHistorySamples = 300;    // five minutes, one a second
    static constexpr char kDefaultBind[] = "127.0.0.1, ::1";

    StatusServer(Listener& listener, Relay& relay, SettingsStore& settings, std::string version);
    ~StatusServer() override;
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    // Reads the settings and (re)starts the status port when they changed since the last call
    // (the first call starts it). The relay's ports are not touched.
    void applySettings();
    // Once a second: a sample for the chart and the rates, and connections past their time.
    void tick();
    bool listening() const { return listening_; }
    bool eventsOn() const { return listening_ && eventsOn_; }
    // The port could not be opened, though its settings are right: retry() may open it later.
    bool retrying() const { return retrying_; }
    // Another try at opening the port (the caller's retry timer decides when); logs success.
    void retry();

    // The whole answer (head and body) to a request head.
    std::string respond(const HttpRequestReader& request);
    // Where the MQTT bridge's state comes from, where there is one.
    void setMqttStatus(std::function<MqttStatus()> source) { mqtt_ = std::move(source); }
    StatusSnapshot snapshot();

    bool connectionRequest(const IpAddress& peer) override;
    void connectionOpened(int id) override;
    void dataIn(int id, std::string_view text, bool endOfLine) override;
    void connectionClosed(int id) override;
    void error(int, std::string_view) override {}  // a status client's trouble is not logged

  private:
    struct Conn {
        HttpRequestReader request;
        Clock::TimePoint opened;
        bool answered = false;
    };
    void start();
    void startEvents();
    // An event stream asked for; answered here, with a stream or a refusal.
    void startStream(int id, const HttpRequestReader& request);
    bool switchedOff() const;
    std::optional<int32_t> portSetting();
    bool listWrong(const char* key, const ListText& value,
                   const std::optional<std::string>& badEntry, const char* entryKind,
                   const char* consequence = "the status port stays closed");
    void log(int code, const std::string& text);

    Listener& listener_;
    Relay& relay_;
    SettingsStore& settings_;
    std::string version_;
    Clock::TimePoint startedAt_;
    Clock::WallTime startedWall_;
    StatusSettings applied_;
    bool everApplied_ = false;
    bool listening_ = false;
    bool retrying_ = false;  // the port failed for another reason than a wrong setting
    int32_t port_ = 0;
    AllowList allow_;
    std::vector<std::string> hostNames_;  // StatusHosts, lower case
    std::map<int, Conn> conns_;
    bool eventsOn_ = false;
    std::vector<std::string> origins_;  // EventsOrigins, lower case
    EventStreams streams_{listener_, relay_};
    std::function<MqttStatus()> mqtt_;
    std::deque<uint64_t> queueHistory_;
    std::deque<std::pair<uint64_t, uint64_t>> lineCounts_;  // lines in, out; one a second
};

}  // namespace korrin
