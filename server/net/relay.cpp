// Handlers of the relay. Failing steps are skipped, as the operator expects the relay to go on.
#include "server/net/relay.h"

#include <algorithm>

#include "server/net/leading_number.h"
#include "server/net/spool.h"

namespace korrin {

namespace {
// Whether "Timer" holds a number the way sendIntervalFromText reads it: blanks and a sign may
// come first.
bool isIntervalNumber(std::string_view text) {
    const size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos) return false;
    text.remove_prefix(start);
    if (text.front() == '+' || text.front() == '-') text.remove_prefix(1);
    return leadingNumber(text).has_value();
}

// Without a spool a run numbers its lines from the time it started, in microseconds: above
// every number an earlier run can have given, as the send step takes at most 20 lines a second
// and the queue holds at most its high mark, so that an id a client kept from before a restart
// is never taken for a line of this run.
uint64_t firstSeqAt(Clock::WallTime t) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch());
    return std::max<int64_t>(1, us.count());
}
}  // namespace

Relay::Relay(Listener& input, Listener& output, SettingsStore& settings, Timer& sendTimer,
             ErrorLog& log, RelayView& view, Clock& clock)
    : in_(input),
      out_(output),
      settings_(settings),
      sendTimer_(sendTimer),
      view_(view),
      clock_(clock),
      log_(log),
      memoryFirstSeq_(firstSeqAt(clock.wallNow())),
      ports_(input, output, list1_, list3_, log_, view, clock, counters_),
      spool_(
          std::make_unique<Spool>(settings, log_, clock, counters_,
                                  Spool::Hooks{[this](const std::string& why) {
                                                   if (paused_)
                                                       log_.error(log_.numbers().spoolFailed, why);
                                                   else
                                                       pauseInput(log_.numbers().spoolFailed, why);
                                               },
                                               [this] { resumeIfLow(); }})),
      catchUps_(output, log_, clock, counters_, receiverLines_) {
    senderIds_.fill(-1);
    catchUps_.useStore(memory_);
}

Relay::~Relay() = default;

ListenResult Relay::reopenListeners() {
    return ports_.reopen(spool_->inputMayOpen());
}

void Relay::useSpool(FolderMaker makeFolder, Timer& spoolTimer) {
    spool_->use(std::move(makeFolder), spoolTimer);
}

void Relay::senderReadDone() {
    spool_->readDone();
}

const SpoolSettings& Relay::spoolSettings() const {
    return spool_->settings();
}

const std::string& Relay::spoolError() const {
    return spool_->error();
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
    view_.changed(RelayView::kLabels);
    if (makeLanguage) makeLanguage();
    for (int i = 0; i < kTableSize; ++i) {
        receiverHosts_[i].clear();
        senderIds_[i] = -1;
    }
    catchUps_.readSettings(settings_);
    if (spool_->load()) useStore(*spool_->store());
    return Init_IP();
}

ListenResult Relay::Init_IP() {
    return Init_IP(readListenerSettings(settings_));
}

ListenResult Relay::Init_IP(const ListenerSettings& s) {
    senderIds_.fill(-1);
    return ports_.apply(s, spool_->inputMayOpen());
}

void Relay::unload() {
    spool_->sync();
    ports_.shutAll();
}

void LatenessHistogram::add(double seconds) {
    size_t b = 0;
    while (b < kBuckets && seconds > kBounds[b]) ++b;
    ++counts[b];
    sum += seconds;
    ++count;
}

// ---- queue and pacing ----

void Relay::Send_Msg() {
    const Clock::TimePoint now = clock_.now();
    if (lastStep_) {
        const auto late = now - (*lastStep_ + std::chrono::milliseconds(sendInterval_));
        counters_.lateness.add(std::max(0.0, std::chrono::duration<double>(late).count()));
    }
    lastStep_ = now;
    ports_.logRefusalSummary(now);
    // With a spool, a line not yet in the journal waits for the next step.
    const std::optional<std::string_view> front = store_->front();
    if (!front) {
        spool_->checkReadError();
        for (RelayOutput* o : outputs_) o->stepDone();  // catch-ups go on while no line comes
        sendTimer_.setInterval(sendInterval_);
        sendTimer_.setEnabled(true);
        return;
    }
    lineSent_ = true;
    lastSentToMax_ = maxReceiverId_;
    sendTimer_.setInterval(0);
    sendTimer_.setEnabled(false);
    const uint64_t seq = store_->headSeq();
    for (RelayOutput* o : outputs_) o->send(seq, *front);
    ++counters_.linesOut;
    dequeueHead();
    for (RelayOutput* o : outputs_) o->stepDone();
    queueHeadSelected_ = false;
    view_.changed(RelayView::kLabels);
    sendTimer_.setInterval(sendInterval_);
    sendTimer_.setEnabled(true);
}

void Relay::sendLine(uint64_t seq, std::string_view text) {
    std::string line(text);
    line += '\n';
    const int last = std::min(maxReceiverId_.value_or(0) + 2, kTableSize - 1);
    for (int id = 0; id <= last; ++id) {
        // A receiver already on its way out is no target, and missing it is no failure.
        if (receiverHosts_[id].empty() || !out_.isOpen(id)) continue;
        if (catchUps_.catchingUp(id)) continue;  // it gets this line in its turn
        OpResult r = out_.send(id, line);
        if (!r.ok()) {
            // One failing receiver is dropped; the others and the pacing carry on.
            label2_ = "Error: " + std::to_string(r.code) + " " + r.description;
            ++counters_.sendFailures;
            out_.closeConnection(id);
        } else {
            ++receiverLines_[id];
            catchUps_.handed(id, seq, line.size());
        }
    }
}

void Relay::enqueue(std::string_view line) {
    if (store_->push(line) && !paused_) pauseFull();
    view_.changed(RelayView::kQueue);
}

void Relay::pauseFull() {
    pauseInput(log_.numbers().queueFull, "Send queue full (" + std::to_string(store_->lines()) +
                                             " lines): reading from senders paused");
}

void Relay::dequeueHead() {
    // Each output keeps what it still wants; the store lets the rest go.
    const auto [keep, mustKeep] = keptFrom(store_->headSeq());
    store_->pop(keep, mustKeep);
    resumeIfLow();
    view_.changed(RelayView::kQueue);
}

void Relay::pauseInput(int code, const std::string& why) {
    paused_ = true;
    in_.pauseReading(true);
    logError(code, why);
    view_.changed(RelayView::kLabels);
}

std::pair<uint64_t, uint64_t> Relay::keptFrom(uint64_t lastSent) {
    uint64_t keep = lastSent + 1, mustKeep = lastSent + 1;
    for (RelayOutput* o : outputs_) {
        keep = std::min(keep, o->keepFrom(lastSent));
        mustKeep = std::min(mustKeep, o->mustKeepFrom(lastSent));
    }
    return {std::min(keep, mustKeep), mustKeep};
}

void Relay::outputLetGo() {
    const auto [keep, mustKeep] = keptFrom(store_->lastSent());
    store_->release(keep, mustKeep);
    resumeIfLow();
}

void Relay::resumeIfLow() {
    if (!paused_ || !store_->low()) return;
    paused_ = false;
    in_.pauseReading(false);
    logError(0, "Send queue down to " + std::to_string(store_->lines()) +
                    " lines: reading from senders resumed");
    view_.changed(RelayView::kLabels);
}

// ---- spool ----

void Relay::useStore(LineStore& store) {
    store_ = &store;
    catchUps_.useStore(store);
    view_.changed(RelayView::kQueue);
}

void Relay::spoolTick() {
    if (!spool_->tick()) return;
    useStore(*spool_->store());
    reopenListeners();
}

// ---- status ----

RelayStatus Relay::status() {
    const Clock::WallTime wall = clock_.wallNow();
    RelayStatus s;
    s.inputPort = inputPort();
    s.outputPort = outputPort();
    s.inputListening = inputListening();
    s.outputListening = outputListening();
    s.bind = listenerSettings().bind.text;
    for (const UnboundAddress& u : inputNotBound()) s.inputNotBound.push_back(u.address.text());
    for (const UnboundAddress& u : outputNotBound()) s.outputNotBound.push_back(u.address.text());
    s.intervalMs = sendInterval_;
    s.queueLines = queueLines();
    s.queueBytes = queueBytes();
    s.paused = paused_;
    s.spool = spool_->status();
    auto peer = [&](const PeerEntry& e, uint64_t lines, uint64_t behind) {
        const double connected = std::chrono::duration<double>(wall - e.since).count();
        return PeerStatus{e.id,    e.kind ? e.kind->name() : "tcp", e.address,
                          e.since, std::max(0.0, connected),        lines,
                          behind};
    };
    for (const PeerEntry& e : list3_)
        s.receivers.push_back(e.kind ? peer(e, e.kind->linesSent(e.id), e.kind->bytesBehind(e.id))
                                     : peer(e, receiverLines(e.id), out_.pendingBytes(e.id)));
    for (const PeerEntry& e : list1_)
        s.senders.push_back(peer(e, e.kind ? e.kind->linesSent(e.id) : senderLines(e.id), 0));
    s.lastError = label2_;
    s.log.assign(log_.recent().begin(), log_.recent().end());
    s.counters = counters_;
    return s;
}

}  // namespace korrin
