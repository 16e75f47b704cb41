// Handlers of the relay. Failing steps are skipped, as the operator expects the relay to go on.
#include "server/net/relay.h"

#include <algorithm>
#include <cmath>

#include "server/net/leading_number.h"

namespace korrin {

namespace {
constexpr char kPortError[] = "Error setting Portaddress";

bool inTable(int id) {
    return id >= 0 && id < Relay::kTableSize;
}

// Whether "Timer" holds a number the way sendIntervalFromText reads it: blanks and a sign may
// come first.
bool isIntervalNumber(std::string_view text) {
    const size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos) return false;
    text.remove_prefix(start);
    if (text.front() == '+' || text.front() == '-') text.remove_prefix(1);
    return leadingNumber(text).has_value();
}

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
}  // namespace

ListenerSettings readListenerSettings(SettingsStore& store) {
    ListenerSettings s;
    s.port = store.get("Port", "3001");
    s.bind = store.getList("Bind");
    s.allowSenders = store.getList("AllowSenders");
    s.allowReceivers = store.getList("AllowReceivers");
    return s;
}

Relay::Relay(Listener& input, Listener& output, SettingsStore& settings, Timer& sendTimer,
             ErrorLog& log, RelayView& view, Clock& clock)
    : in_(input),
      out_(output),
      settings_(settings),
      sendTimer_(sendTimer),
      log_(log),
      view_(view),
      clock_(clock) {
    senderIds_.fill(-1);
}

PeerEntry Relay::peerEntry(Listener& l, int id) {
    const std::string address = l.remoteAddress(id);
    return {address + "-" + std::to_string(id), id, nextSerial_++, address, clock_.wallNow()};
}

ListenResult Relay::load(const std::function<void()>& makeLanguage) {
    const std::string timer = settings_.get("Timer", "500");
    sendInterval_ = sendIntervalFromText(timer);
    // The pacing cannot stay closed: it takes the default, but not without a word.
    if (!isIntervalNumber(timer))
        logError(log_.numbers().badSetting, "Timer: \"" + timer +
                                                "\" is no number; the interval is " +
                                                std::to_string(sendInterval_) + " ms");
    sendTimer_.setInterval(sendInterval_);
    label4_ = "Updateinterval: " + std::to_string(sendInterval_);
    view_.changed(RelayView::kLabels);
    if (makeLanguage) makeLanguage();
    for (int i = 0; i < kTableSize; ++i) {
        receiverHosts_[i].clear();
        senderIds_[i] = -1;
    }
    readCatchUpSettings();
    if (makeFolder_) {
        readSpoolSettings();
        if (!spool_.folder.empty() && !journal_) openSpool();
    }
    return Init_IP();
}

namespace {
// The first failing step sets the routine's error state; nothing clears it.
void keepError(ListenResult& r, const OpResult& op) {
    if (!op.ok() && r.error == 0) r.error = op.code;
}
}  // namespace

ListenResult Relay::Init_IP() {
    return Init_IP(readListenerSettings(settings_));
}

ListenResult Relay::Init_IP(const ListenerSettings& s) {
    applied_ = s;
    ListenResult r;
    // A restart serves none of the old senders, however many there are.
    closeAll(input_, &r);
    senderIds_.fill(-1);
    const ListenPorts ports = listenPortsFromText(s.port);
    input_.wanted = ports.input.value_or(0);
    output_.wanted = ports.output.value_or(0);
    const ParsedList<IpAddress> bind = parseList("Bind", s.bind, parseAddressList, r);
    // Both numbers are checked before either port opens: an input alone relays to nobody.
    if (!ports.input || !ports.output) {
        logError(log_.numbers().badSetting,
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
    if (!inputMayOpen()) {
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
    showListening(bind);
    lastResult_ = r;
    listenError_ = 0;
    return r;
}

ListenResult Relay::reopenListeners() {
    ListenResult r;
    if (lastResult_.settingWrong) return lastResult_;  // the same wrong setting, logged once
    const ListenPorts ports = listenPortsFromText(applied_.port);
    const ParsedList<IpAddress> bind = parseList("Bind", applied_.bind, parseAddressList, r);
    if (inputMayOpen() && !input_.listeningAsApplied() &&
        !restart(input_, ports.input, bind, applied_.bind, applied_.allowSenders, r))
        return failed(r);
    if (!output_.listeningAsApplied() &&
        !restart(output_, ports.output, bind, applied_.bind, applied_.allowReceivers, r))
        return failed(r);
    showListening(bind);
    lastResult_ = r;
    listenError_ = 0;
    return r;
}

void Relay::closeAll(Port& p, ListenResult* r) {
    // Closing delivers its closed event later, so the list does not change under the loop.
    for (const PeerEntry& e : p.peers) {
        // A peer already on its way out is no failure to close.
        if (!p.listener.isOpen(e.id)) continue;
        const OpResult op = p.listener.closeConnection(e.id);
        if (r) keepError(*r, op);
    }
}

void Relay::shut(Port& p, const ParsedList<IpAddress>& bind, const ListText& allowText) {
    p.listener.setListening(false);
    p.listening = false;
    ParsedList<IpPrefix> allow = parsePrefixList(allowText.text);
    if (!allowText.error.empty()) allow.badEntry = allowText.error;
    closeRefused(p, allow, bind);
}

template <typename T>
ParsedList<T> Relay::parseList(const char* key, const ListText& value,
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
        logError(log_.numbers().badSetting,
                 std::string(key) + ": " + why + "; the port stays closed");
        r.settingWrong = true;
    }
    return list;
}

bool Relay::restart(Port& p, std::optional<int32_t> number, const ParsedList<IpAddress>& bind,
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
        logError(u.why.code, "Bind: " + u.address.text() + " cannot be listened on here (" +
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

void Relay::closeRefused(Port& p, const ParsedList<IpPrefix>& allow,
                         const ParsedList<IpAddress>& bind) {
    const AllowList rule(allow.entries);
    // Closing delivers its closed event later, so the list does not change under the loop.
    for (const PeerEntry& e : p.peers) {
        if (!p.listener.isOpen(e.id)) continue;
        const std::optional<IpAddress> peer = parseIpAddress(p.listener.remoteAddress(e.id));
        const std::optional<IpAddress> local = parseIpAddress(p.listener.localAddressOf(e.id));
        // An address that cannot be told is no address the rules admit.
        if (allow.badEntry || bind.badEntry || !peer || !rule.allows(*peer) || !local ||
            !bindAdmits(bind.entries, *local))
            p.listener.closeConnection(e.id);
    }
}

ListenResult Relay::failed(const ListenResult& r) {
    lastResult_ = r;
    listenError_ = r.error;
    view_.messageBox(kPortError);
    return r;
}

void Relay::showListening(const ParsedList<IpAddress>& bind) {
    statusAddress_ = bind.entries.empty() ? in_.localAddress() : bind.entries[0].text();
    statusPort_ = applied_.port;
    view_.changed(RelayView::kStatus);
}

bool Relay::admit(const AllowList& allow, int32_t port, const IpAddress& peer) {
    if (allow.allows(peer)) return true;
    ++counters_.refusedByPort[port];
    logRefusals(refusals_.refused(peer, port, clock_.now()));
    return false;
}

void Relay::logRefusals(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) logError(log_.numbers().refused, line);
}

bool Relay::senderRequest(const IpAddress& peer) {
    return admit(input_.allow, input_.number, peer);
}

bool Relay::receiverRequest(const IpAddress& peer) {
    return admit(output_.allow, output_.number, peer);
}

uint64_t Relay::senderLines(int id) const {
    return id >= 0 && static_cast<size_t>(id) < senderLines_.size() ? senderLines_[id] : 0;
}

uint64_t Relay::receiverLines(int id) const {
    return inTable(id) ? receiverLines_[id] : 0;
}

void LatenessHistogram::add(double seconds) {
    size_t b = 0;
    while (b < kBuckets && seconds > kBounds[b]) ++b;
    ++counts[b];
    sum += seconds;
    ++count;
}

void Relay::unload() {
    if (journal_) journal_->sync();
    // Nobody new comes in while the peers go.
    for (Port* p : {&input_, &output_}) {
        p->listener.setListening(false);
        p->listening = false;
    }
    closeAll(input_);
    closeAll(output_);
}

// ---- senders ----

void Relay::senderOpened(int id) {
    in_.setLineDelimiter(id, "\n");
    in_.setReceiving(id, true);
    addSender(id);
}

void Relay::addSender(int id) {
    list1_.push_back(peerEntry(in_, id));
    if (id >= 0) {
        if (static_cast<size_t>(id) >= senderLines_.size()) senderLines_.resize(id + 1);
        senderLines_[id] = 0;
    }
    for (int16_t& slot : senderIds_) {
        if (slot == -1) {
            slot = static_cast<int16_t>(id);
            break;
        }
    }
    view_.changed(RelayView::kSenders);
}

void Relay::removeSender(int id) {
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
    view_.changed(RelayView::kSenders);
}

void Relay::senderData(int id, std::string_view text, bool endOfLine) {
    if (!endOfLine) return;  // only complete lines reach the queue
    if (id >= 0 && static_cast<size_t>(id) < senderLines_.size()) ++senderLines_[id];
    ++counters_.linesIn;
    enqueue(text);
    queueHeadSelected_ = true;
}

void Relay::senderLines(int id, const std::vector<std::string_view>& lines) {
    // Over a journal each line may flush; this path is for the queue in memory.
    if (journal_) {
        for (std::string_view line : lines) senderData(id, line, true);
        return;
    }
    if (id >= 0 && static_cast<size_t>(id) < senderLines_.size()) senderLines_[id] += lines.size();
    counters_.linesIn += lines.size();
    for (std::string_view line : lines) {
        queue_.push(line);
        if (!paused_ && queueFull()) pauseFull();  // at the very line that fills it
    }
    queueHeadSelected_ = true;
    view_.changed(RelayView::kQueue);
}

void Relay::senderClosed(int id) {
    removeSender(id);
}

void Relay::logError(int code, std::string_view description) {
    std::string line = "Error: " + std::to_string(code) + " - ";
    line.append(description);
    recentLog_.push_back(line);
    if (recentLog_.size() > kRecentLogLines) recentLog_.pop_front();
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
    receiverLines_[id] = 0;
    inFlight_[id] = InFlight();
    addReceiver(id);
    startCatchUp(id);
}

void Relay::receiverClosed(int id) {
    if (!inTable(id)) return;
    leaveCatchUp(id);
    receiverHosts_[id].clear();
    if (maxReceiverId_.value_or(0) == id) maxReceiverId_ = static_cast<int16_t>(id - 1);
    removeReceiver(id);
}

void Relay::addReceiver(int id) {
    list3_.push_back(peerEntry(out_, id));
    label2_.clear();
    view_.changed(RelayView::kReceivers | RelayView::kLabels);
}

void Relay::removeReceiver(int id) {
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
    const Clock::TimePoint now = clock_.now();
    if (lastStep_) {
        const auto late = now - (*lastStep_ + std::chrono::milliseconds(sendInterval_));
        counters_.lateness.add(std::max(0.0, std::chrono::duration<double>(late).count()));
    }
    lastStep_ = now;
    // A minute of refusals past the log's bound is counted once it is over.
    const std::string refusalSummary = refusals_.summaryDue(now);
    if (!refusalSummary.empty()) logError(log_.numbers().refused, refusalSummary);
    // With a spool, a line not yet in the journal waits for the next step.
    const std::optional<std::string_view> front = queue_.front();
    if (!front) {
        if (journal_ && !journal_->error().empty() && journal_->error() != spoolError_) {
            spoolError_ = journal_->error();
            logError(log_.numbers().spoolFailed, "Spool: " + spoolError_);
        }
        feedCatchUps();  // a catch-up goes on while no new line comes
        sendTimer_.setInterval(sendInterval_);
        sendTimer_.setEnabled(true);
        return;
    }
    label3_ = "Send to: " + maxReceiverText();
    sendTimer_.setInterval(0);
    sendTimer_.setEnabled(false);

    std::string line(*front);
    line += '\n';
    const int last = std::min(maxReceiverId_.value_or(0) + 2, kTableSize - 1);
    for (int id = 0; id <= last; ++id) {
        // A receiver already on its way out is no target, and missing it is no failure.
        if (receiverHosts_[id].empty() || !out_.isOpen(id)) continue;
        if (catchUps_.count(id)) continue;  // it gets this line in its turn
        OpResult r = out_.send(id, line);
        if (!r.ok()) {
            // One failing receiver is dropped; the others and the pacing carry on.
            label2_ = "Error: " + std::to_string(r.code) + " " + r.description;
            ++counters_.sendFailures;
            out_.closeConnection(id);
        } else {
            ++receiverLines_[id];
            handed(id, queue_.headSeq(), line.size());
        }
    }
    ++counters_.linesOut;
    keepSent(line);
    dequeueHead();
    feedCatchUps();
    queueHeadSelected_ = false;
    view_.changed(RelayView::kLabels);
    sendTimer_.setInterval(sendInterval_);
    sendTimer_.setEnabled(true);
}

void Relay::appendToQueue(std::string line) {
    enqueue(line);
}

void Relay::enqueue(std::string_view line) {
    queue_.push(line);
    // A sender that never pauses between reads still gets its lines written in bounded steps.
    if (journal_ && journal_->lastSeq() - journal_->writtenSeq() >= 4096) flushSpool(false);
    if (!paused_ && queueFull()) pauseFull();
    view_.changed(RelayView::kQueue);
}

void Relay::pauseFull() {
    pauseInput(log_.numbers().queueFull, "Send queue full (" + std::to_string(queue_.lines()) +
                                             " lines): reading from senders paused");
}

void Relay::dequeueHead() {
    queue_.pop();
    // Sent segments go; at the limit, the one being written too, so that room comes back.
    if (journal_) journal_->release(paused_ ? queue_.headSeq() : keepFrom(), paused_);
    if (paused_ && queueLow())
        resumeInput("Send queue down to " + std::to_string(queue_.lines()) +
                    " lines: reading from senders resumed");
    view_.changed(RelayView::kQueue);
}

bool Relay::queueFull() const {
    if (journal_) return spoolWriteFailing_ || queue_.bytes() >= spool_.limitBytes;
    return queue_.lines() >= kQueueHighLines || queue_.bytes() >= kQueueHighBytes;
}

bool Relay::queueLow() const {
    if (journal_) return !spoolWriteFailing_ && queue_.bytes() < spool_.limitBytes;
    return queue_.lines() <= kQueueHighLines / 2 && queue_.bytes() <= kQueueHighBytes / 2;
}

void Relay::pauseInput(int code, const std::string& why) {
    paused_ = true;
    in_.pauseReading(true);
    logError(code, why);
    view_.changed(RelayView::kLabels);
}

void Relay::resumeInput(const std::string& why) {
    paused_ = false;
    in_.pauseReading(false);
    logError(0, why);
    view_.changed(RelayView::kLabels);
}

// ---- spool ----

void SyncTimes::add(double seconds) {
    histogram.add(seconds);
    recent.push_back(seconds);
    if (recent.size() > kRecent) recent.pop_front();
}

double SyncTimes::p99() const {
    if (recent.empty()) return 0;
    std::vector<double> sorted(recent.begin(), recent.end());
    const size_t at = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(sorted.size()))) - 1;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(at),
                     sorted.end());
    return sorted[at];
}

void Relay::useSpool(FolderMaker makeFolder, Timer& spoolTimer) {
    makeFolder_ = std::move(makeFolder);
    spoolTimer_ = &spoolTimer;
}

namespace {
// A whole number setting: the default when absent; nothing when it is no number in range.
std::optional<uint64_t> wholeNumber(const std::string& text, uint64_t low, uint64_t high) {
    const std::optional<double> n = leadingNumber(text);
    if (!n || *n < static_cast<double>(low) || *n > static_cast<double>(high)) return std::nullopt;
    return static_cast<uint64_t>(roundHalfEven(*n));
}
}  // namespace

void Relay::readSpoolSettings() {
    spool_ = SpoolSettings();
    spool_.folder = settings_.get("Spool", "");
    const std::string sync = settings_.get("SpoolSync", "200");
    const std::string limit = settings_.get("SpoolLimit", "1024");
    if (const auto ms = wholeNumber(sync, 0, 60000)) {
        spool_.syncMs = static_cast<int>(*ms);
    } else {
        logError(log_.numbers().badSetting,
                 "SpoolSync: \"" + sync + "\" is no number of ms in 0..60000; it is 200");
    }
    if (const auto mib = wholeNumber(limit, 1, 1024 * 1024)) {
        spool_.limitBytes = *mib * 1024 * 1024;
    } else {
        logError(log_.numbers().badSetting,
                 "SpoolLimit: \"" + limit + "\" is no number of MiB in 1..1048576; it is 1024");
    }
}

bool Relay::openSpool() {
    folder_ = makeFolder_(spool_.folder);
    // Segments of a quarter of the limit at most, so that sending one makes room again.
    const uint64_t segment =
        std::max<uint64_t>(1024 * 1024, std::min(Journal::kSegmentBytes, spool_.limitBytes / 4));
    auto journal = std::make_unique<Journal>(*folder_, segment);
    std::vector<std::string> notes;
    const bool ok = journal->open(notes);
    for (const std::string& note : notes) logError(log_.numbers().spoolFailed, note);
    if (!ok) {
        if (spoolError_ != journal->error())
            logError(log_.numbers().spoolFailed,
                     "Spool: " + journal->error() + "; the input port stays closed");
        spoolError_ = journal->error();
        armSpoolTimer();
        return false;
    }
    if (!spoolError_.empty()) logError(0, "Spool: " + spool_.folder + " works again");
    spoolError_.clear();
    journal_ = std::move(journal);
    if (journal_->missingAtOpen() > 0) counters_.linesLost["damaged"] += journal_->missingAtOpen();
    const std::string volume = folder_->durabilityWarning();
    if (!volume.empty())
        logError(0, "Spool: " + spool_.folder + " is on " + volume +
                        ": what was flushed may not survive a power loss there");
    const uint64_t free = journal_->freeAtOpen();
    if (free != UINT64_MAX && free + journal_->bytes() < spool_.limitBytes)
        logError(0, "Spool: " + spool_.folder + " has room for " +
                        std::to_string((free + journal_->bytes()) >> 20) +
                        " MiB, less than SpoolLimit (" + std::to_string(spool_.limitBytes >> 20) +
                        " MiB); segments of " + std::to_string(journal_->segmentBytes() >> 10) +
                        " KiB");
    queue_.attach(journal_.get());
    if (queue_.lines() > 0)
        logError(0, "Spool: " + std::to_string(queue_.lines()) +
                        " lines recovered; sending from line " + std::to_string(queue_.headSeq()) +
                        " on");
    armSpoolTimer();
    view_.changed(RelayView::kQueue);
    return true;
}

void Relay::armSpoolTimer() {
    // Not open: tried again every 30 s; failing writes: every second; else the flush interval.
    const int ms = !journal_                                  ? 30000
                   : spoolWriteFailing_ || spool_.syncMs == 0 ? 1000
                                                              : spool_.syncMs;
    spoolTimer_->setInterval(ms);
    spoolTimer_->setEnabled(true);
}

void Relay::spoolTick() {
    if (!makeFolder_ || spool_.folder.empty()) return;
    if (!journal_) {
        if (openSpool()) reopenListeners();
        return;
    }
    flushSpool(true);
}

void Relay::senderReadDone() {
    if (journal_) flushSpool(spool_.syncMs == 0);
}

void Relay::flushSpool(bool toStableStorage) {
    const Clock::TimePoint start = clock_.now();
    const bool timed = toStableStorage && journal_->unsynced();  // idle ticks are no flushes
    const bool ok = toStableStorage ? journal_->sync() : journal_->writeOut();
    if (ok && timed) syncTimes_.add(std::chrono::duration<double>(clock_.now() - start).count());
    std::vector<std::string> notes;
    if (const uint64_t lost = journal_->takeLost(notes)) counters_.linesLost["damaged"] += lost;
    for (const std::string& note : notes) logError(log_.numbers().spoolFailed, note);
    // A disk the spool's own tail filled gets room back once that tail is sent.
    if (!ok) journal_->release(queue_.headSeq(), true);
    if (!ok && !spoolWriteFailing_) {
        spoolWriteFailing_ = true;
        spoolError_ = journal_->error();
        const std::string why = "Spool: " + spoolError_ + "; reading from senders paused";
        if (paused_)
            logError(log_.numbers().spoolFailed, why);
        else
            pauseInput(log_.numbers().spoolFailed, why);
        armSpoolTimer();
    } else if (ok && spoolWriteFailing_) {
        spoolWriteFailing_ = false;
        spoolError_.clear();
        logError(0, "Spool: writing works again");
        if (paused_ && queueLow())
            resumeInput("Send queue down to " + std::to_string(queue_.lines()) +
                        " lines: reading from senders resumed");
        armSpoolTimer();
    } else if (ok && journal_->error().empty()) {
        spoolError_.clear();  // a read that failed works again
    }
}

}  // namespace korrin
