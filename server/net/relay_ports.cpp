#include "server/net/relay_ports.h"

#include "server/net/leading_number.h"

namespace korrin {

namespace {
constexpr char kPortError[] = "Error setting Portaddress";

// Whether a connection that came in through this local address may stay under this Bind: every
// interface, the address itself, or the unspecified address of its family.
bool bindAdmits(const std::vector<IpAddress>& bind, const IpAddress& local) {
    if (bind.empty()) return true;
    const IpAddress here = local.unmapped();
    for (const IpAddress& b : bind) {
        if (b.unmapped() == here) return true;
        IpAddress any;
        any.v6 = b.v6;
        if (b == any && b.v6 == here.v6) return true;
    }
    return false;
}

// The first failing step sets the routine's error state; nothing clears it.
void keepError(ListenResult& r, const OpResult& op) {
    if (!op.ok() && r.error == 0) r.error = op.code;
}
}  // namespace

ListenerSettings readListenerSettings(SettingsStore& store) {
    ListenerSettings s;
    s.port = store.get("Port", "3001");
    s.bind = store.getList("Bind");
    s.allowSenders = store.getList("AllowSenders");
    s.allowReceivers = store.getList("AllowReceivers");
    return s;
}

RelayPorts::RelayPorts(Listener& input, Listener& output, std::vector<PeerEntry>& senders,
                       std::vector<PeerEntry>& receivers, RelayLog& log, RelayView& view,
                       Clock& clock, RelayCounters& counters)
    : in_(input),
      log_(log),
      view_(view),
      clock_(clock),
      counters_(counters),
      input_(input, "AllowSenders", senders),
      output_(output, "AllowReceivers", receivers) {}

ListenResult RelayPorts::apply(const ListenerSettings& s, bool inputMayOpen) {
    applied_ = s;
    ListenResult r;
    // A restart serves none of the old senders, however many there are.
    closeAll(input_, &r);
    const ListenPorts ports = listenPortsFromText(s.port);
    input_.wanted = ports.input.value_or(0);
    output_.wanted = ports.output.value_or(0);
    const ParsedList<IpAddress> bind = parseList("Bind", s.bind, parseAddressList, r);
    // Both numbers are checked before either port opens: an input alone relays to nobody.
    if (!ports.input || !ports.output) {
        log_.error(log_.numbers().badSetting,
                   "Port: \"" + s.port +
                       "\" gives no input port and output port (the next number) in 1..65535; "
                       "both ports stay closed");
        r.settingWrong = true;
    }
    if (!ports.input || !ports.output || bind.badEntry) {
        shut(input_, bind, s.allowSenders);
        shut(output_, bind, s.allowReceivers);
        keepError(r, OpResult{log_.numbers().badSetting, "Invalid argument"});
        return failed(r);
    }
    // A spool that cannot be written keeps the input closed: nothing is read that could be lost.
    if (!inputMayOpen) {
        shut(input_, bind, s.allowSenders);
    } else if (!restart(input_, ports.input, bind, s.bind, s.allowSenders, r) || !r.ok()) {
        // The output port stays as it was, unless it listens under rules that are no longer
        // the setting: then it closes too. Left on an old number it does not count as
        // listening, and the retry moves it once the input opens.
        if (!output_.started || output_.bind != s.bind || output_.allowText != s.allowReceivers)
            shut(output_, bind, s.allowReceivers);
        return failed(r);
    }
    if (!restart(output_, ports.output, bind, s.bind, s.allowReceivers, r) || !r.ok())
        return failed(r);
    return succeeded(r, bind);
}

ListenResult RelayPorts::reopen(bool inputMayOpen) {
    ListenResult r;
    if (lastResult_.settingWrong) return lastResult_;  // the same wrong setting, logged once
    const ListenPorts ports = listenPortsFromText(applied_.port);
    const ParsedList<IpAddress> bind = parseList("Bind", applied_.bind, parseAddressList, r);
    if (inputMayOpen && !input_.listeningAsApplied() &&
        !restart(input_, ports.input, bind, applied_.bind, applied_.allowSenders, r))
        return failed(r);
    if (!output_.listeningAsApplied() &&
        !restart(output_, ports.output, bind, applied_.bind, applied_.allowReceivers, r))
        return failed(r);
    return succeeded(r, bind);
}

void RelayPorts::shutAll() {
    // Nobody new comes in while the peers go.
    for (Port* p : {&input_, &output_}) {
        p->listener.setListening(false);
        p->listening = false;
    }
    closeAll(input_);
    closeAll(output_);
}

void RelayPorts::closeAll(Port& p, ListenResult* r) {
    // Closing delivers its closed event later, so the list does not change under the loop.
    for (const PeerEntry& e : p.peers) {
        // A peer already on its way out is no failure to close.
        if (e.kind || !p.listener.isOpen(e.id)) continue;
        const OpResult op = p.listener.closeConnection(e.id);
        if (r) keepError(*r, op);
    }
}

void RelayPorts::shut(Port& p, const ParsedList<IpAddress>& bind, const ListText& allowText) {
    p.listener.setListening(false);
    p.listening = false;
    ParsedList<IpPrefix> allow = parsePrefixList(allowText.text);
    if (!allowText.error.empty()) allow.badEntry = allowText.error;
    closeRefused(p, allow, bind);
}

template <typename T>
ParsedList<T> RelayPorts::parseList(const char* key, const ListText& value,
                                    ParsedList<T> (*parse)(std::string_view), ListenResult& r) {
    ParsedList<T> list = parse(value.text);
    std::string why;
    if (!value.error.empty()) {
        list.badEntry = value.error;
        why = value.error;
    } else if (list.badEntry) {
        why = "\"" + *list.badEntry + "\" is not an address or a prefix";
    }
    if (!why.empty()) {
        log_.error(log_.numbers().badSetting,
                   std::string(key) + ": " + why + "; the port stays closed");
        r.settingWrong = true;
    }
    return list;
}

bool RelayPorts::restart(Port& p, std::optional<int32_t> number, const ParsedList<IpAddress>& bind,
                         const ListText& bindText, const ListText& allowText, ListenResult& r) {
    keepError(r, p.listener.setListening(false));
    p.listening = false;
    const ParsedList<IpPrefix> allow = parseList(p.allowKey, allowText, parsePrefixList, r);
    closeRefused(p, allow, bind);
    // A port nobody can name (0, out of range) is a failure, not a random port, and a wrong
    // list never opens it wider than asked.
    if (!number || bind.badEntry || allow.badEntry) {
        if (!number) r.settingWrong = true;
        keepError(r, OpResult{log_.numbers().badSetting, "Invalid argument"});
        return false;
    }
    keepError(r, p.listener.setLocalAddresses(bind.entries));
    keepError(r, p.listener.setLocalPort(*number));
    const OpResult on = p.listener.setListening(true);
    keepError(r, on);
    for (const UnboundAddress& u : p.listener.notBound())
        log_.error(u.why.code, "Bind: " + u.address.text() + " cannot be listened on here (" +
                                   u.why.description + "); port " + std::to_string(*number) +
                                   " listens without it");
    p.allow = AllowList(allow.entries);
    p.number = *number;
    p.listening = on.ok();
    p.started = true;
    p.bind = bindText;
    p.allowText = allowText;
    return p.listening;
}

void RelayPorts::closeRefused(Port& p, const ParsedList<IpPrefix>& allow,
                              const ParsedList<IpAddress>& bind) {
    const AllowList rule(allow.entries);
    // Closing delivers its closed event later, so the list does not change under the loop.
    for (const PeerEntry& e : p.peers) {
        if (e.kind || !p.listener.isOpen(e.id)) continue;
        const std::optional<IpAddress> peer = parseIpAddress(p.listener.remoteAddress(e.id));
        const std::optional<IpAddress> local = parseIpAddress(p.listener.localAddressOf(e.id));
        // An address that cannot be told is no address the rules admit.
        if (allow.badEntry || bind.badEntry || !peer || !rule.allows(*peer) || !local ||
            !bindAdmits(bind.entries, *local))
            p.listener.closeConnection(e.id);
    }
}

ListenResult RelayPorts::failed(const ListenResult& r) {
    lastResult_ = r;
    listenError_ = r.error;
    view_.messageBox(kPortError);
    return r;
}

ListenResult RelayPorts::succeeded(const ListenResult& r, const ParsedList<IpAddress>& bind) {
    statusAddress_ = bind.entries.empty() ? in_.localAddress() : bind.entries[0].text();
    statusPort_ = applied_.port;
    view_.changed(RelayView::kStatus);
    lastResult_ = r;
    listenError_ = 0;
    return r;
}

bool RelayPorts::admit(const AllowList& allow, int32_t port, const IpAddress& peer) {
    if (allow.allows(peer)) return true;
    ++counters_.refusedByPort[port];
    for (const std::string& line : refusals_.refused(peer, port, clock_.now()))
        log_.error(log_.numbers().refused, line);
    return false;
}

void RelayPorts::logRefusalSummary(Clock::TimePoint now) {
    const std::string summary = refusals_.summaryDue(now);
    if (!summary.empty()) log_.error(log_.numbers().refused, summary);
}

}  // namespace korrin
