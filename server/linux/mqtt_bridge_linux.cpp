#include "server/linux/mqtt_bridge_linux.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

namespace korrin {

namespace {
constexpr int kHousekeepingMs = 1000;
// What one publish call may be handed: the relay's longest line.
struct LibraryInit {
    LibraryInit() { mosquitto_lib_init(); }
    ~LibraryInit() { mosquitto_lib_cleanup(); }
};
}  // namespace

// The library's word for a failed call, short, as the log and last_error show it.
std::string libraryReason(int rc, int err) {
    if (rc == MOSQ_ERR_ERRNO) return strerror(err);
    if (rc == MOSQ_ERR_CONN_LOST) return "connection lost";
    if (rc == MOSQ_ERR_NO_CONN) return "not connected";
    std::string text = mosquitto_strerror(rc);
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

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
      housekeeping_(loop,
                    [this] {
                        if (mosq_) {
                            mosquitto_loop_misc(mosq_);
                            afterLibrary();
                        }
                    }),
      retry_(loop, [this] {
          retry_.setEnabled(false);
          if (state_ != State::Off && !mosq_ && on_) connect();
      }) {
    static LibraryInit once;
    housekeeping_.setInterval(kHousekeepingMs);
}

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
    lastLogged_.clear();
    if (!s.set) {
        if (added_) relay_.removeOutput(*this);
        added_ = inited_ = false;
        lastError_.clear();
        setState(State::Off);
        return;
    }
    downSince_ = clock_.now();
    if (!error.empty()) {
        // Nothing is kept for a bridge that cannot run: the relay goes on as without one.
        if (added_) relay_.removeOutput(*this);
        added_ = inited_ = false;
        lastError_ = error;
        relay_.logError(relay_.errorNumbers().badSetting,
                        "MQTT: " + error + "; the bridge stays off");
        setState(State::Error);
        return;
    }
    if (!added_) relay_.addOutput(*this);
    added_ = true;
    v5_ = true;
    retryMs_ = kFirstRetryMs;
    connect();
}

void MqttBridge::setState(State s) {
    if (s == state_) return;
    // Down from the moment the connection went, however many tries follow.
    if (state_ == State::Connected) downSince_ = clock_.now();
    state_ = s;
    since_ = clock_.wallNow();
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

void MqttBridge::stop() {
    listSender(false);
    retry_.setEnabled(false);
    housekeeping_.setEnabled(false);
    if (mosq_) {
        unwatchSocket();
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
    flights_.clear();
    next_ = acked_ + 1;
}

void MqttBridge::connect() {
    failure_.reset();
    tlsReason_.clear();
    retryNow_ = false;
    mosq_ = mosquitto_new(settings_.clientId.c_str(), true, this);
    if (!mosq_) return failed(std::string("cannot make a client: ") + strerror(errno));
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION,
                         v5_ ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(mosq_, static_cast<unsigned>(settings_.inflight));
    mosquitto_connect_v5_callback_set(mosq_, onConnect);
    mosquitto_disconnect_v5_callback_set(mosq_, onDisconnect);
    mosquitto_publish_v5_callback_set(mosq_, onPublish);
    mosquitto_message_v5_callback_set(mosq_, onMessage);
    mosquitto_log_callback_set(mosq_, onLog);
    if (!settings_.user.empty())
        mosquitto_username_pw_set(mosq_, settings_.user.c_str(),
                                  settings_.passwordFile.empty() ? nullptr : password_.c_str());
    if (settings_.tls) {
        // The broker's certificate and name are always checked; there is no way around it.
        const char* ca = settings_.caFile.empty() ? nullptr : settings_.caFile.c_str();
        const int rc = mosquitto_tls_set(
            mosq_, ca, ca ? nullptr : "/etc/ssl/certs",
            settings_.certFile.empty() ? nullptr : settings_.certFile.c_str(),
            settings_.keyFile.empty() ? nullptr : settings_.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return failed("TLS: cannot use the certificate files: " +
                          std::string(mosquitto_strerror(rc)));
        if (!ca) mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        mosquitto_tls_opts_set(mosq_, 1, nullptr, nullptr);
        mosquitto_tls_insecure_set(mosq_, false);
    }
    setState(State::Connecting);
    // The name is looked up here, on the loop's thread; an address or a local name is quick.
    const int rc = mosquitto_connect_bind_async(mosq_, settings_.host.c_str(), settings_.port,
                                                settings_.keepalive, nullptr);
    if (rc == MOSQ_ERR_EAI) return failed("host not found: " + settings_.host);
    if (rc != MOSQ_ERR_SUCCESS) return failed(libraryReason(rc, errno));
    housekeeping_.setEnabled(true);
    afterLibrary();
}

void MqttBridge::failed(const std::string& why) {
    std::string reason = why;
    if (!tlsReason_.empty() && reason.rfind("TLS", 0) != 0) reason = "TLS: " + tlsReason_;
    const bool wasConnected = state_ == State::Connected;
    listSender(false);
    if (mosq_) {
        unwatchSocket();
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
    housekeeping_.setEnabled(false);
    // The lines in flight go again after the next connect: repeats, never gaps.
    flights_.clear();
    next_ = acked_ + 1;
    lastError_ = reason;
    if (reason != lastLogged_) {
        lastLogged_ = reason;
        relay_.logError(0, "MQTT " + settings_.broker + ": " + reason + "; trying again");
    }
    setState(State::Error);
    if (retryNow_) return scheduleRetry(0);
    if (wasConnected) retryMs_ = kFirstRetryMs;
    scheduleRetry(retryMs_);
    retryMs_ = std::min(retryMs_ * 2, kLastRetryMs);
}

void MqttBridge::scheduleRetry(int ms) {
    static std::minstd_rand random(std::random_device{}());
    // Many relays restarted together do not all call the broker at the same moment.
    const int jitter = ms / 4 > 0 ? static_cast<int>(random() % static_cast<unsigned>(ms / 4)) : 0;
    retry_.setInterval(std::max(1, ms - ms / 8 + jitter));
    retry_.setEnabled(true);
}

void MqttBridge::watchSocket() {
    const int fd = mosq_ ? mosquitto_socket(mosq_) : -1;
    const uint32_t want = EPOLLIN | (mosq_ && mosquitto_want_write(mosq_) ? EPOLLOUT : 0u);
    if (fd != fd_) {
        unwatchSocket();
        if (fd < 0) return;
        if (!loop_.watch(fd, want, [this](uint32_t ev) { onSocket(ev); })) {
            failure_ = std::string("cannot watch the socket: ") + strerror(errno);
            return;
        }
        fd_ = fd;
        watched_ = want;
    } else if (fd >= 0 && want != watched_ && loop_.modify(fd, want)) {
        watched_ = want;
    }
}

void MqttBridge::unwatchSocket() {
    if (fd_ >= 0) loop_.unwatch(fd_);
    fd_ = -1;
    watched_ = 0;
}

void MqttBridge::onSocket(uint32_t events) {
    if (!mosq_) return;
    int rc = MOSQ_ERR_SUCCESS;
    if (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) rc = mosquitto_loop_read(mosq_, 64);
    if (rc == MOSQ_ERR_SUCCESS && mosq_ && (events & EPOLLOUT))
        rc = mosquitto_loop_write(mosq_, 64);
    if (rc != MOSQ_ERR_SUCCESS && !failure_) {
        const int err = errno;
        if (rc == MOSQ_ERR_TLS)
            failure_ = "TLS: " + (tlsReason_.empty() ? "handshake failed" : tlsReason_);
        else
            failure_ = libraryReason(rc, err);
    }
    afterLibrary();
}

void MqttBridge::afterLibrary() {
    if (!mosq_) return;
    if (failure_) {
        const std::string why = *failure_;
        failure_.reset();
        return failed(why);
    }
    pump();
    watchSocket();
    if (failure_) afterLibrary();
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

void MqttBridge::pump() {
    if (!on_) return;
    init();
    if (state_ != State::Connected || !mosq_) return;
    std::string line;
    while (flights_.size() < static_cast<size_t>(settings_.inflight) &&
           next_ <= relay_.lastSent()) {
        const uint64_t firstKept = relay_.firstKept();
        if (next_ < firstKept) {
            // Memory keeps a bounded backlog: past it the oldest lines go, counted.
            const uint64_t n = firstKept - next_;
            relay_.countLost("mqtt", n);
            relay_.logError(0, "MQTT: the broker missed " + std::to_string(n) +
                                   " lines that are no longer kept");
            if (flights_.empty()) acked_ = firstKept - 1;
            next_ = firstKept;
        }
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
    if (v5_) {
        const std::string text = std::to_string(seq);
        mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "seq", text.c_str());
    }
    int mid = 0;
    const int rc =
        mosquitto_publish_v5(mosq_, &mid, settings_.topic.c_str(), static_cast<int>(line.size()),
                             line.data(), settings_.qos, false, props);
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
        failure_ = libraryReason(rc, errno);
        next_ = seq;
        return false;
    }
    ++published_;
    flights_.push_back({seq, mid, false});
    return true;
}

void MqttBridge::acked(int mid, int reason) {
    if (reason >= 0x80) {
        failure_ = std::string("the broker refused a line: ") + mosquitto_reason_string(reason);
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

std::string MqttBridge::connackReason(int rc) const {
    switch (rc) {
        case CONNACK_REFUSED_BAD_USERNAME_PASSWORD:
        case CONNACK_REFUSED_NOT_AUTHORIZED:
        case MQTT_RC_BAD_USERNAME_OR_PASSWORD:
        case MQTT_RC_NOT_AUTHORIZED:
            return "not authorised: " +
                   std::string(v5_ ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc));
        default:
            return "refused: " +
                   std::string(v5_ ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc));
    }
}

void MqttBridge::onConnect(mosquitto* m, void* self, int rc, int, const mqtt5__property*) {
    auto& b = *static_cast<MqttBridge*>(self);
    if (rc != 0) {
        if (b.v5_ && (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION ||
                      rc == CONNACK_REFUSED_PROTOCOL_VERSION)) {
            b.v5_ = false;
            if (!b.saidV311_)
                b.relay_.logError(0, "MQTT " + b.settings_.broker +
                                         " speaks only MQTT 3.1.1: lines are published "
                                         "without their seq property");
            b.saidV311_ = true;
            b.retryNow_ = true;
            b.failure_ = "MQTT 3.1.1 only";
            return;
        }
        b.failure_ = b.connackReason(rc);
        return;
    }
    b.lastError_.clear();
    if (!b.lastLogged_.empty() || b.reconnects_ == 0)
        b.relay_.logError(
            0, "MQTT: connected to " + b.settings_.broker + (b.v5_ ? "" : " (MQTT 3.1.1)"));
    b.lastLogged_.clear();
    ++b.reconnects_;
    b.retryMs_ = kFirstRetryMs;
    b.setState(State::Connected);
    b.flights_.clear();
    b.next_ = b.acked_ + 1;
    if (!b.settings_.subscribe.empty()) {
        mosquitto_subscribe(m, nullptr, b.settings_.subscribe.c_str(), b.settings_.subscribeQos);
        b.listSender(true);
    }
}

void MqttBridge::onDisconnect(mosquitto*, void* self, int rc, const mqtt5__property*) {
    auto& b = *static_cast<MqttBridge*>(self);
    if (!b.failure_)
        b.failure_ =
            rc == 0 ? std::string("disconnected")
                    : (b.tlsReason_.empty() ? libraryReason(rc, errno) : "TLS: " + b.tlsReason_);
}

void MqttBridge::onPublish(mosquitto*, void* self, int mid, int reason, const mqtt5__property*) {
    static_cast<MqttBridge*>(self)->acked(mid, reason);
}

void MqttBridge::onMessage(mosquitto*, void* self, const mosquitto_message* m,
                           const mqtt5__property*) {
    static_cast<MqttBridge*>(self)->message(*m);
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

void MqttBridge::onLog(mosquitto* m, void* self, int level, const char* text) {
    auto& b = *static_cast<MqttBridge*>(self);
    if (level != MOSQ_LOG_ERR || !strstr(text, "OpenSSL Error")) return;
    // The library's reason, and the certificate check's own where it says more.
    std::string reason = text;
    const size_t colon = reason.rfind(':');
    if (colon != std::string::npos) reason = reason.substr(colon + 1);
    if (auto* ssl = static_cast<SSL*>(mosquitto_ssl_get(m))) {
        const long verify = SSL_get_verify_result(ssl);
        // The library checks the name itself, after the chain, and says no more than
        // "unspecified" when it does not match.
        if (verify == X509_V_ERR_UNSPECIFIED || verify == X509_V_ERR_APPLICATION_VERIFICATION)
            reason += " (the certificate is not for " + b.settings_.host + ")";
        else if (verify != X509_V_OK)
            reason += std::string(" (") + X509_verify_cert_error_string(verify) + ")";
    }
    if (b.tlsReason_.empty()) b.tlsReason_ = reason;
}

MqttStatus MqttBridge::status() {
    MqttStatus s;
    s.broker = settings_.broker;
    static const char* const kStates[] = {"off", "error", "connecting", "connected"};
    s.state = kStates[static_cast<int>(state_)];
    if (since_ != Clock::WallTime{}) s.since = isoUtc(since_);
    s.published = published_;
    s.received = received_;
    s.reconnects = reconnects_;
    s.lastError = lastError_;
    if (on_) {
        init();
        s.acknowledgedSeq = acked_;
        s.backlog = relay_.lastSent() > acked_ ? relay_.lastSent() - acked_ : 0;
        s.inFlight = flights_.size();
    }
    if (settings_.set && !on_)
        s.unhealthy = settingsError_;
    else if (settings_.set && state_ != State::Connected &&
             clock_.now() - downSince_ >= kUnhealthyAfter)
        s.unhealthy = "not connected for " +
                      std::to_string(std::chrono::duration_cast<std::chrono::seconds>(clock_.now() -
                                                                                      downSince_)
                                         .count()) +
                      " s" + (lastError_.empty() ? "" : ": " + lastError_);
    return s;
}

}  // namespace korrin
