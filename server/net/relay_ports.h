// The relay's two ports: the settings they listen with ("Port", "Bind", the allow lists), their
// starts and restarts, who may connect, and the bounded log of refusals.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/net/ip_address.h"
#include "server/net/listener.h"
#include "server/net/refusal_log.h"
#include "server/net/relay_log.h"
#include "server/net/relay_output.h"
#include "server/net/relay_seams.h"
#include "server/net/relay_status.h"

namespace korrin {

// A peer as the window lists it.
struct PeerEntry {
    std::string text;  // remote address, "-", connection id
    int32_t id;        // the list entry's item data
    uint64_t serial;   // this entry and no other, also when its id comes back later
    std::string address;
    Clock::WallTime since;
    ReceiverKind* kind = nullptr;  // a receiver of another kind than TCP: not the listener's
};

// What the listeners are started with, read in one go: what a restart applies is what a
// later check for changes compares.
struct ListenerSettings {
    std::string port;  // "Port" as stored
    ListText bind, allowSenders, allowReceivers;
    bool operator==(const ListenerSettings& o) const {
        return port == o.port && bind == o.bind && allowSenders == o.allowSenders &&
               allowReceivers == o.allowReceivers;
    }
    bool operator!=(const ListenerSettings& o) const { return !(*this == o); }
};
ListenerSettings readListenerSettings(SettingsStore& store);

// How a (re)start of the listeners went.
struct ListenResult {
    int error = 0;              // the first failure's Winsock-style code; 0: both listen
    bool settingWrong = false;  // a setting is wrong: trying again without a new one cannot help
    bool ok() const { return error == 0; }
};

class RelayPorts {
  public:
    RelayPorts(Listener& input, Listener& output, std::vector<PeerEntry>& senders,
               std::vector<PeerEntry>& receivers, RelayLog& log, RelayView& view, Clock& clock,
               RelayCounters& counters);

    // Restarts both listeners with these settings; the input only when inputMayOpen (else it
    // stays closed). A failure also shows "Error setting Portaddress" through the view.
    ListenResult apply(const ListenerSettings& settings, bool inputMayOpen);
    // With the settings last applied, starts the listeners that do not listen; a listening one
    // and its peers are not touched.
    ListenResult reopen(bool inputMayOpen);
    // Switches both listeners off and closes every connection.
    void shutAll();

    const ListenerSettings& applied() const { return applied_; }
    // A listener still on a number the settings no longer give does not count as listening.
    bool inputListening() const { return input_.listeningAsApplied(); }
    bool outputListening() const { return output_.listeningAsApplied(); }
    int32_t inputPort() const { return input_.number; }
    int32_t outputPort() const { return output_.number; }
    // The error that made the last apply fail, 0 after a success.
    int listenError() const { return listenError_; }
    const std::string& statusAddress() const { return statusAddress_; }
    const std::string& statusPort() const { return statusPort_; }

    // Whether a peer may connect; a refusal is logged and counted.
    bool senderRequest(const IpAddress& peer) { return admit(input_.allow, input_.number, peer); }
    bool receiverRequest(const IpAddress& peer) {
        return admit(output_.allow, output_.number, peer);
    }
    bool admit(const AllowList& allow, int32_t port, const IpAddress& peer);
    // Once a minute of refusals past the log's bound is over, it is counted in one line.
    void logRefusalSummary(Clock::TimePoint now);

  private:
    // One listener and the rules it runs with.
    struct Port {
        Port(Listener& l, const char* key, std::vector<PeerEntry>& list)
            : listener(l), allowKey(key), peers(list) {}
        Listener& listener;
        const char* allowKey;  // "AllowSenders" or "AllowReceivers"
        std::vector<PeerEntry>& peers;
        AllowList allow;
        int32_t number = 0;
        int32_t wanted = 0;  // the number the applied settings give
        bool listening = false;
        bool started = false;  // bind and allowText hold what it was last started with
        ListText bind, allowText;
        bool listeningAsApplied() const { return listening && number == wanted; }
    };
    // Closes every connection of the port; r, if given, keeps the first failure.
    void closeAll(Port& p, ListenResult* r = nullptr);
    // Switches the listener off; with a wrong Bind every peer goes, else those the new rules
    // refuse.
    void shut(Port& p, const ParsedList<IpAddress>& bind, const ListText& allowText);
    // Switches the listener off and on again with these rules; false when it does not listen.
    bool restart(Port& p, std::optional<int32_t> number, const ParsedList<IpAddress>& bind,
                 const ListText& bindText, const ListText& allowText, ListenResult& r);
    // Parses a list setting; a wrong one is logged and makes its port stay closed.
    template <typename T>
    ParsedList<T> parseList(const char* key, const ListText& value,
                            ParsedList<T> (*parse)(std::string_view), ListenResult& r);
    // Closes the peers of a listener that its new allow list refuses, or that came in through
    // an address the new Bind does not listen on (everyone, for a wrong list).
    void closeRefused(Port& p, const ParsedList<IpPrefix>& allow,
                      const ParsedList<IpAddress>& bind);
    ListenResult failed(const ListenResult& r);
    ListenResult succeeded(const ListenResult& r, const ParsedList<IpAddress>& bind);

    Listener& in_;
    RelayLog& log_;
    RelayView& view_;
    Clock& clock_;
    RelayCounters& counters_;
    Port input_;
    Port output_;
    int listenError_ = 0;
    ListenerSettings applied_;
    ListenResult lastResult_;
    RefusalLog refusals_;
    std::string statusAddress_, statusPort_;
};

}  // namespace korrin
