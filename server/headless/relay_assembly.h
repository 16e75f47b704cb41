// The relay with everything it runs with, put together once for every front end: the events of
// its listeners, the input, output and status ports, the status server, the timers and the
// driver that starts them and keeps them listening. A front end hands in its platform's parts
// and runs the loop that delivers their events and ticks.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "server/headless/unattended_relay.h"
#include "server/net/listener.h"
#include "server/net/relay.h"
#include "server/net/relay_events.h"
#include "server/net/relay_seams.h"
#include "server/status/status_server.h"

namespace korrin {

// What a platform gives the assembly.
struct RelayPlatform {
    // Which timer is made: a front end may take some ticks sooner than others.
    enum class TimerRole { Send, Status, Retry, Spool };

    // A listener that delivers to the events and holds at most maxConnections at once.
    std::function<std::unique_ptr<Listener>(ListenerEvents& events, int maxConnections)>
        makeListener;
    // A timer whose ticks run onTick on the thread of the front end's loop.
    std::function<std::unique_ptr<Timer>(TimerRole role, std::function<void()> onTick)> makeTimer;
    FolderMaker makeFolder;  // the spool's folders
    ErrorLog& log;
    SettingsStore& settings;
    RelayView& view;
    Clock& clock;
    int maxSenders;
    std::string version;  // shown by the status port
    UnattendedRelay::RelayPorts relayPorts = UnattendedRelay::RelayPorts::Retried;
};

class RelayAssembly {
  public:
    // The send timer is made on at this design-time interval; start-up then sets "Timer".
    static constexpr int kSendTimerDesignMs = 1000;
    static constexpr int kStatusTickMs = 1000;

    explicit RelayAssembly(const RelayPlatform& platform);
    RelayAssembly(const RelayAssembly&) = delete;
    RelayAssembly& operator=(const RelayAssembly&) = delete;

    Relay& relay() { return relay_; }
    // Starts the relay and the status port and keeps them listening.
    UnattendedRelay& driver() { return driver_; }
    StatusServer& status() { return status_; }

  private:
    // Made first, for the relay and the status server take them when they are made; kept
    // below those, to go before them.
    struct Listeners {
        std::unique_ptr<Listener> input, output, status;
    };
    RelayAssembly(const RelayPlatform& platform, Listeners listeners);

    // Destroyed bottom up: the driver, each listener before the events, status server and
    // relay it reports to (one may still report its connections closed as it goes), and last
    // the timers the relay and the driver hold. A timer's tick calls into parts that go before
    // it; none comes then, for the front end's loop no longer runs.
    std::unique_ptr<Timer> sendTimer_, statusTimer_, retryTimer_, spoolTimer_;
    Relay relay_;
    SenderEvents senderEvents_;
    ReceiverEvents receiverEvents_;
    std::unique_ptr<Listener> input_, output_;
    StatusServer status_;
    std::unique_ptr<Listener> statusListener_;
    UnattendedRelay driver_;
};

}  // namespace korrin
