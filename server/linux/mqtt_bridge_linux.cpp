#include "server/linux/mqtt_bridge_linux.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korrin {

bool readMqttPassword(const std::string& path, std::string& password, std::string* error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        *error = "MqttPasswordFile: " + path + ": " + strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    if (st.st_mode & S_IROTH) {
        close(fd);
        *error = "MqttPasswordFile: " + path + " is readable by others; make it chmod 600";
        return false;
    }
    std::string text;
    char buf[4096];
    ssize_t n;
    while (text.size() < 65536 && (n = read(fd, buf, sizeof buf)) > 0) text.append(buf, n);
    close(fd);
    password = text.substr(0, text.find('\n'));
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return true;
}

MqttBridge::MqttBridge(EventLoop& loop, Relay& relay, Clock& clock)
    : loop_(loop),
      relay_(relay),
      clock_(clock),
      out_(loop, relay, clock, *this, "MQTT"),
      in_(loop, relay, clock, *this, "MQTT subscription") {}

MqttBridge::~MqttBridge() {
    stop();
    if (added_) relay_.removeOutput(*this);
}

void MqttBridge::apply(const MqttSettings& s) {
    std::string password, error = s.error;
    if (s.on() && !s.passwordFile.empty()) readMqttPassword(s.passwordFile, password, &error);
    if (applied_ && s == settings_ && password == password_ && error == settingsError_) return;
    stop();
    applied_ = true;
    settings_ = s;
    password_ = password;
    settingsError_ = error;
    on_ = s.set && error.empty();
    appliedAt_ = clock_.now();
    errorSince_ = clock_.wallNow();
    if (!on_) {
        // Nothing is kept for a bridge that cannot run: the relay goes on as without one.
        if (added_) relay_.removeOutput(*this);
        added_ = inited_ = false;
        if (s.set)
            relay_.logError(relay_.errorNumbers().badSetting,
                            "MQTT: " + error + "; the bridge stays off");
        return;
    }
    if (!added_) relay_.addOutput(*this);
    added_ = true;
    out_.start(s, s.clientId, password_, true, true);
    // Its own session, kept by the broker across disconnects (MQTT 3.1.1 keeps it without an
    // expiry): what is published while the relay is paused or away waits there.
    inPaused_ = false;
    if (!s.subscribe.empty()) pauseInbound(relay_.readingPaused());
}

void MqttBridge::stop() {
    listSender(false);
    out_.stop();
    in_.stop();
    flights_.clear();
    next_ = acked_ + 1;
}

void MqttBridge::listSender(bool on) {
    if (on == listed_) return;
    listed_ = on;
    linesIn_ = 0;
    if (on)
        relay_.otherSenderOpened(*this, 0, "mqtt");
    else
        relay_.otherSenderClosed(*this, 0);
}

void MqttBridge::close(int) {
    relay_.logError(0, "MQTT: the topic " + settings_.subscribe +
                           " is read while MqttSubscribe names it; clear it to stop");
}

void MqttBridge::linkUp(MqttLink& link) {
    if (&link == &in_) {
        mosquitto_subscribe(link.client(), nullptr, settings_.subscribe.c_str(),
                            settings_.subscribeQos);
        listSender(true);
        return;
    }
    sayUnkept();
    // The lines in flight go again: repeats, never gaps.
    flights_.clear();
    next_ = acked_ + 1;
}

void MqttBridge::linkDown(MqttLink& link) {
    if (&link == &in_) return listSender(false);
    flights_.clear();
    next_ = acked_ + 1;
}

void MqttBridge::serviced(MqttLink& link) {
    if (&link == &out_) return pump();
    // After the library's call, never inside it: a message may have filled the queue.
    if (relay_.readingPaused()) pauseInbound(true);
}

void MqttBridge::pauseInbound(bool paused) {
    if (settings_.subscribe.empty()) return;
    if (paused && !inPaused_ && in_.state() != MqttLink::State::Off)
        relay_.logError(0,
                        "MQTT subscription: let go while reading from senders is paused; "
                        "the broker keeps its messages meanwhile");
    inPaused_ = paused;
    if (paused)
        in_.stop(true);
    else if (in_.state() == MqttLink::State::Off)
        in_.start(settings_, settings_.clientId + "-in", password_, false, false);
}

void MqttBridge::stepDone() {
    if (!on_) return;
    if (inPaused_ && !relay_.readingPaused()) pauseInbound(false);
    letGoUnkept();
    pump();
    out_.settle();
    if (out_.connected() && next_ > relay_.lastSent()) sayUnkept();
}

void MqttBridge::sayUnkept() {
    if (unkept_ == 0) return;
    relay_.logError(0, "MQTT: the broker missed " + std::to_string(unkept_) +
                           " lines that memory no longer kept");
    unkept_ = 0;
}

void MqttBridge::init() {
    // The store the relay uses may change (a spool that opens late): places are its own.
    if (inited_ && spoolAtInit_ == relay_.spoolOpen()) return;
    inited_ = true;
    spoolAtInit_ = relay_.spoolOpen();
    const uint64_t lastSent = relay_.lastSent();
    // With a spool the broker resumes at its first line not acknowledged; a spool of an earlier
    // build, or memory, starts at the first line not sent.
    acked_ = std::min(relay_.ackedPlace().value_or(lastSent), lastSent);
    if (acked_ + 1 < relay_.firstKept()) {
        relay_.logError(0, "MQTT: lines " + std::to_string(acked_ + 1) + " to " +
                               std::to_string(relay_.firstKept() - 1) +
                               " are no longer kept; publishing resumes after them");
        acked_ = relay_.firstKept() - 1;
    }
    next_ = acked_ + 1;
    flights_.clear();
    reader_.reset();
}

uint64_t MqttBridge::keepFrom(uint64_t lastSent) {
    if (!on_) return lastSent + 1;
    init();
    return acked_ + 1;
}

void MqttBridge::send(uint64_t, std::string_view) {
    init();  // the line is read back from the store once the step is done
}

void MqttBridge::letGoUnkept() {
    init();
    const uint64_t firstKept = relay_.firstKept();
    if (next_ >= firstKept) return;
    const uint64_t n = firstKept - next_;
    relay_.countLost("mqtt", n);
    if (unkept_ == 0)
        relay_.logError(0, "MQTT: the broker is owed more than memory keeps (" +
                               std::to_string(limits::kKeptLines) + " lines or " +
                               std::to_string(limits::kKeptBytes >> 20) +
                               " MiB); its oldest lines go unpublished, counted as lost");
    unkept_ += n;
    if (flights_.empty()) acked_ = firstKept - 1;
    next_ = firstKept;
}

void MqttBridge::pump() {
    if (!on_) return;
    init();
    if (!out_.connected()) return;
    std::string line;
    while (flights_.size() < static_cast<size_t>(settings_.inflight) &&
           next_ <= relay_.lastSent()) {
        letGoUnkept();
        if (!reader_ || readerNext_ != next_) reader_ = relay_.readKept(next_);
        uint64_t seq = next_;
        if (!reader_->next(line, seq)) {
            reader_.reset();  // a line not read yet: tried again at the next step
            break;
        }
        if (seq > relay_.lastSent()) {
            reader_.reset();
            break;
        }
        if (seq > next_) {
            relay_.countLost("mqtt", seq - next_);
            if (flights_.empty()) acked_ = seq - 1;
        }
        next_ = seq + 1;
        readerNext_ = next_;
        if (!publish(seq, line)) break;
    }
}

bool MqttBridge::publish(uint64_t seq, const std::string& line) {
    mosquitto_property* props = nullptr;
    if (out_.v5()) {
        const std::string text = std::to_string(seq);
        mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "seq", text.c_str());
    }
    int mid = 0;
    const int rc = mosquitto_publish_v5(out_.client(), &mid, settings_.topic.c_str(),
                                        static_cast<int>(line.size()), line.data(), settings_.qos,
                                        false, props);
    mosquitto_property_free_all(&props);
    if (rc == MOSQ_ERR_OVERSIZE_PACKET || rc == MOSQ_ERR_PAYLOAD_SIZE) {
        // The broker would never take it: it goes, counted, and the next follows.
        relay_.countLost("mqtt", 1);
        relay_.logError(0, "MQTT: line " + std::to_string(seq) + " is too long for the broker");
        flights_.push_back({seq, -1, true});
        acked(-1, 0);
        return true;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        out_.fail(mqttLibraryReason(rc, errno));
        next_ = seq;
        return false;
    }
    ++published_;
    flights_.push_back({seq, mid, false});
    return true;
}

void MqttBridge::acked(int mid, int reason) {
    if (reason >= 0x80) {
        out_.fail(std::string("the broker refused a line: ") + mosquitto_reason_string(reason));
        return;
    }
    for (Flight& f : flights_)
        if (f.mid == mid) f.acked = true;
    const uint64_t before = acked_;
    while (!flights_.empty() && flights_.front().acked) {
        acked_ = flights_.front().seq;
        flights_.pop_front();
    }
    if (acked_ != before) {
        relay_.markAcked(acked_);
        relay_.outputLetGo();
    }
}

void MqttBridge::message(const mosquitto_message& m) {
    ++received_;
    const std::string_view payload(static_cast<const char*>(m.payload),
                                   static_cast<size_t>(std::max(0, m.payloadlen)));
    // Framed as a sender's bytes are: an LF ends a line, a line past the bound is cut.
    std::vector<std::string_view> lines;
    size_t at = 0;
    do {
        size_t end = payload.find('\n', at);
        if (end == std::string_view::npos) end = payload.size();
        std::string_view line = payload.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line.substr(0, limits::kMaxLine));
        at = end + 1;
    } while (at < payload.size());
    linesIn_ += lines.size();
    relay_.senderLines(-1, lines);
    // Each message reaches the spool's journal before the next is taken.
    relay_.senderReadDone();
}

MqttStatus MqttBridge::status() {
    MqttStatus s;
    s.broker = settings_.broker;
    if (!settings_.set) return s;
    static const char* const kStates[] = {"off", "error", "connecting", "connected"};
    const Clock::WallTime since = on_ ? out_.since() : errorSince_;
    s.state = on_ ? kStates[static_cast<int>(out_.state())] : "error";
    if (since != Clock::WallTime{}) s.since = isoUtc(since);
    s.published = published_;
    s.received = received_;
    s.reconnects = out_.connects();
    s.lastError = on_ ? out_.lastError() : settingsError_;
    if (s.lastError.empty() && !in_.lastError().empty())
        s.lastError = "subscription: " + in_.lastError();
    if (!on_) {
        s.unhealthy = settingsError_;
        return s;
    }
    init();
    s.acknowledgedSeq = acked_;
    s.backlog = relay_.lastSent() > acked_ ? relay_.lastSent() - acked_ : 0;
    s.inFlight = flights_.size();
    // Down from the moment the connection went (or the settings came), however many tries follow.
    const Clock::TimePoint down = std::max(out_.downSince(), appliedAt_);
    if (!out_.connected() && clock_.now() - down >= kUnhealthyAfter)
        s.unhealthy =
            "not connected for " +
            std::to_string(
                std::chrono::duration_cast<std::chrono::seconds>(clock_.now() - down).count()) +
            " s" + (out_.lastError().empty() ? "" : ": " + out_.lastError());
    // A full spool whose lines the broker still owes (more than it has in flight) is the
    // broker's doing, whether or not the connection stands.
    else if (relay_.readingPaused() && relay_.spoolOpen() && s.backlog > s.inFlight &&
             s.backlog > static_cast<uint64_t>(settings_.inflight))
        s.unhealthy = "the spool is full with " + std::to_string(s.backlog) +
                      " lines the broker still owes; reading from senders paused";
    return s;
}

}  // namespace korrin
