// Handlers of the relay. Failing steps are skipped, as the operator expects the relay to go on.
#include "relay.h"

#include <algorithm>
#include <chrono>

#include "leading_number.h"

namespace korrin {

namespace {
constexpr char kPortError[] = "Error setting Portaddress";
constexpr int kQueueFullCode = 10055;  // Winsock's "no buffer space available"
constexpr int kBadSettingCode = 10022;  // "invalid argument"
constexpr int kRefusedCode = 10013;     // "permission denied"

bool inTable(int id) { return id >= 0 && id < Relay::kTableSize; }
}  // namespace

Relay::Relay(Listener& input, Listener& output, SettingsStore& settings, Timer& sendTimer,
             ErrorLog& log, RelayView& view)
    : in_(input), out_(output), settings_(settings), sendTimer_(sendTimer), log_(log), view_(view) {
    senderIds_.fill(-1);
}

PeerEntry Relay::peerEntry(Listener& l, int id) {
    return {l.remoteAddress(id) + "-" + std::to_string(id), id, nextSerial_++};
}

void Relay::load(const std::function<void()>& makeLanguage) {
    sendInterval_ = sendIntervalFromText(settings_.get("Timer", "500"));
    sendTimer_.setInterval(sendInterval_);
    label4_ = "Updateinterval: " + std::to_string(sendInterval_);
    view_.changed(RelayView::kLabels);
    if (makeLanguage) makeLanguage();
    for (int i = 0; i < kTableSize; ++i) {
        receiverHosts_[i].clear();
        senderIds_[i] = -1;
    }
    Init_IP();
}

void Relay::Init_IP() {
    bool failed = false;  // one error state for the whole routine, never cleared
    listenError_ = 0;
    auto check = [&](const OpResult& r) {
        if (r.ok()) return;
        if (!failed) listenError_ = r.code;
        failed = true;
    };
    for (int16_t& id : senderIds_) {
        if (id != -1) check(in_.closeConnection(id));
        id = -1;
    }
    const std::string portText = settings_.get("Port", "3001");
    const ListenPorts ports = listenPortsFromText(portText);
    // Where to listen and who may connect: read with the port, each time.
    const ParsedList<IpAddress> bind = parseAddressList(settings_.get("Bind", ""));
    const ParsedList<IpPrefix> senders = parsePrefixList(settings_.get("AllowSenders", ""));
    const ParsedList<IpPrefix> receivers = parsePrefixList(settings_.get("AllowReceivers", ""));
    auto badSetting = [this](const char* name, const std::string& entry) {
        inputError(kBadSettingCode, std::string(name) + ": \"" + entry +
                                        "\" is not an address or a prefix; the port stays closed");
    };
    if (bind.badEntry) badSetting("Bind", *bind.badEntry);

    auto restart = [&](Listener& l, std::optional<int32_t> port,
                       const ParsedList<IpPrefix>& allow, const char* allowName) {
        check(l.setListening(false));
        if (allow.badEntry) badSetting(allowName, *allow.badEntry);
        // A port nobody can name (0, out of range) is a failure, not a random port, and a
        // wrong address never opens it wider than asked.
        if (!port || bind.badEntry || allow.badEntry) {
            check(OpResult{kBadSettingCode, "Invalid argument"});
            return false;
        }
        check(l.setLocalAddresses(bind.entries));
        check(l.setLocalPort(*port));
        check(l.setListening(true));
        return true;
    };
    if (restart(in_, ports.input, senders, "AllowSenders")) {
        allowSenders_ = AllowList(senders.entries);
        inPort_ = *ports.input;
    }
    if (failed) {
        if (bind.badEntry) out_.setListening(false);  // nothing listens on a wrong address
        view_.messageBox(kPortError);
        return;
    }
    if (restart(out_, ports.output, receivers, "AllowReceivers")) {
        allowReceivers_ = AllowList(receivers.entries);
        outPort_ = *ports.output;
    }
    if (failed) {
        view_.messageBox(kPortError);
        return;
    }
    statusAddress_ = bind.entries.empty() ? in_.localAddress() : bind.entries[0].text();
    statusPort_ = portText;
    view_.changed(RelayView::kStatus);
}

bool Relay::admit(const AllowList& allow, int32_t port, const IpAddress& peer) {
    if (allow.allows(peer)) return true;
    const std::string who = peer.text();
    const auto nowMs = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::steady_clock::now().time_since_epoch())
                                                 .count());
    if (refusedLog_.allow(who + " " + std::to_string(port), nowMs))
        inputError(kRefusedCode,
                   "Connection from " + who + " to port " + std::to_string(port) + " refused");
    return false;
}

bool Relay::senderRequest(const IpAddress& peer) { return admit(allowSenders_, inPort_, peer); }

bool Relay::receiverRequest(const IpAddress& peer) {
    return admit(allowReceivers_, outPort_, peer);
}

void Relay::unload() {
    for (int16_t id : senderIds_) {
        if (id != -1) in_.closeConnection(id);
    }
}

// ---- senders ----

void Relay::senderOpened(int id) {
    in_.setLineDelimiter(id, "\n");
    in_.setReceiving(id, true);
    check_Listbox(id, 1);
}

void Relay::check_Listbox(int id, int mode) {
    if (mode == 1) {
        list1_.push_back(peerEntry(in_, id));
        for (int16_t& slot : senderIds_) {
            if (slot == -1) {
                slot = static_cast<int16_t>(id);
                break;
            }
        }
    } else {
        for (int16_t& slot : senderIds_) {
            if (slot == id) {
                slot = -1;
                break;
            }
        }
        // The scan runs to its end without yielding, so no handler can shift the list under it.
        for (size_t i = 0; i < list1_.size(); ++i) {
            if (list1_[i].id == id) {
                list1_.erase(list1_.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
    }
    view_.changed(RelayView::kSenders);
}

void Relay::senderData(int, std::string_view text, bool endOfLine) {
    if (!endOfLine) return;  // only complete lines reach the queue
    enqueue(std::string(text));
    queueHeadSelected_ = true;
}

void Relay::senderClosed(int id) { check_Listbox(id, 0); }

void Relay::inputError(int code, std::string_view description) {
    std::string line = "Error: " + std::to_string(code) + " - ";
    line.append(description);
    line += "\r\n";
    log_.append(line);
}

namespace {
const PeerEntry* findEntry(const std::vector<PeerEntry>& list, uint64_t serial) {
    for (const PeerEntry& e : list)
        if (e.serial == serial) return &e;
    return nullptr;
}
}  // namespace

void Relay::senderDoubleClick(uint64_t entrySerial) {
    if (const PeerEntry* e = findEntry(list1_, entrySerial)) in_.closeConnection(e->id);
}

// ---- receivers ----

void Relay::receiverOpened(int id) {
    if (!inTable(id)) {
        // The output listener serves ids 0..30 only; never leave a peer connected but unserved.
        out_.closeConnection(id);
        return;
    }
    out_.setLineDelimiter(id, "\n");
    out_.setReceiving(id, false);
    receiverHosts_[id] = out_.remoteAddress(id);
    if (id > maxReceiverId_.value_or(0)) maxReceiverId_ = static_cast<int16_t>(id);
    checkListbox2(id, 1);
}

void Relay::receiverClosed(int id) {
    if (!inTable(id)) return;
    receiverHosts_[id].clear();
    if (maxReceiverId_.value_or(0) == id) maxReceiverId_ = static_cast<int16_t>(id - 1);
    checkListbox2(id, 0);
}

void Relay::checkListbox2(int id, int mode) {
    if (mode == 1) {
        list3_.push_back(peerEntry(out_, id));
        label2_.clear();
        view_.changed(RelayView::kReceivers | RelayView::kLabels);
        return;
    }
    for (size_t i = 0; i < list3_.size(); ++i) {
        if (list3_[i].id == id) {
            list3_.erase(list3_.begin() + static_cast<std::ptrdiff_t>(i));
            receiverHosts_[id].clear();
            break;
        }
    }
    view_.changed(RelayView::kReceivers);
}

void Relay::receiverDoubleClick(uint64_t entrySerial) {
    if (const PeerEntry* e = findEntry(list3_, entrySerial)) out_.closeConnection(e->id);
}

// ---- queue and pacing ----

std::string Relay::maxReceiverText() const {
    return maxReceiverId_ ? std::to_string(*maxReceiverId_) : std::string();
}

void Relay::Send_Msg() {
    if (queue_.empty()) {
        sendTimer_.setInterval(sendInterval_);
        sendTimer_.setEnabled(true);
        return;
    }
    label3_ = "Send to: " + maxReceiverText();
    sendTimer_.setInterval(0);
    sendTimer_.setEnabled(false);

    std::string line = queue_.front();
    line += '\n';
    const int last = std::min(maxReceiverId_.value_or(0) + 2, kTableSize - 1);
    for (int id = 0; id <= last; ++id) {
        // A receiver already on its way out is no target, and missing it is no failure.
        if (receiverHosts_[id].empty() || !out_.isOpen(id)) continue;
        OpResult r = out_.send(id, line);
        if (!r.ok()) {
            // One failing receiver is dropped; the others and the pacing carry on.
            label2_ = "Error: " + std::to_string(r.code) + " " + r.description;
            out_.closeConnection(id);
        }
    }
    dequeueHead();
    queueHeadSelected_ = false;
    view_.changed(RelayView::kLabels);
    sendTimer_.setInterval(sendInterval_);
    sendTimer_.setEnabled(true);
}

void Relay::appendToQueue(std::string line) { enqueue(std::move(line)); }

void Relay::enqueue(std::string line) {
    queueBytes_ += line.size();
    queue_.push_back(std::move(line));
    if (!paused_ && (queue_.size() >= kQueueHighLines || queueBytes_ >= kQueueHighBytes)) {
        paused_ = true;
        in_.pauseReading(true);
        inputError(kQueueFullCode, "Send queue full (" + std::to_string(queue_.size()) +
                                       " lines): reading from senders paused");
        view_.changed(RelayView::kLabels);
    }
    view_.changed(RelayView::kQueue);
}

void Relay::dequeueHead() {
    queueBytes_ -= queue_.front().size();
    queue_.pop_front();
    ++queueHeadSeq_;
    if (paused_ && queue_.size() <= kQueueHighLines / 2 && queueBytes_ <= kQueueHighBytes / 2) {
        paused_ = false;
        in_.pauseReading(false);
        inputError(0, "Send queue down to " + std::to_string(queue_.size()) +
                          " lines: reading from senders resumed");
        view_.changed(RelayView::kLabels);
    }
    view_.changed(RelayView::kQueue);
}

}  // namespace korrin
