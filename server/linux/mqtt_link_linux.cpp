#include "server/linux/mqtt_link_linux.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

namespace korrin {

namespace {
constexpr int kHousekeepingMs = 1000;
struct LibraryInit {
    // Never cleaned up: a connect call may still be waiting on a name server as the program
    // ends, and the process lets go of everything then anyway.
    LibraryInit() { mosquitto_lib_init(); }
};
}  // namespace

std::string mqttLibraryReason(int rc, int err) {
    if (rc == MOSQ_ERR_ERRNO) return strerror(err);
    if (rc == MOSQ_ERR_CONN_LOST) return "connection lost";
    if (rc == MOSQ_ERR_NO_CONN) return "not connected";
    std::string text = mosquitto_strerror(rc);
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

// A connect call on its own thread. Whichever side comes second lets go of the client: the
// loop once the call has returned, the thread when the loop gave up on it meanwhile.
struct MqttLink::Pending {
    mosquitto* mosq = nullptr;
    std::string host;
    int port = 0, keepalive = 0, wakeFd = -1;
    int rc = MOSQ_ERR_SUCCESS, err = 0;
    std::mutex lock;
    bool done = false, abandoned = false;

    void run() {
        rc = mosquitto_connect_bind_async(mosq, host.c_str(), port, keepalive, nullptr);
        err = errno;
        std::unique_lock<std::mutex> hold(lock);
        if (abandoned) {
            hold.unlock();
            mosquitto_destroy(mosq);
            return;
        }
        done = true;
        // Under the lock: once the loop has abandoned the call, its descriptor is not written.
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = write(wakeFd, &one, sizeof one);
    }
};

MqttLink::MqttLink(EventLoop& loop, Relay& relay, Clock& clock, Owner& owner, std::string label)
    : loop_(loop),
      relay_(relay),
      clock_(clock),
      owner_(owner),
      label_(std::move(label)),
      wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      housekeeping_(loop,
                    [this] {
                        if (mosq_) {
                            mosquitto_loop_misc(mosq_);
                            afterLibrary();
                        }
                    }),
      retry_(loop,
             [this] {
                 retry_.setEnabled(false);
                 if (state_ == State::Error && !mosq_ && !pending_) connect();
             }),
      lingerEnd_(loop, [this] { endLinger(); }) {
    static LibraryInit once;
    housekeeping_.setInterval(kHousekeepingMs);
    if (wake_.get() < 0 || !loop_.watch(wake_.get(), EPOLLIN, [this](uint32_t) {
            uint64_t n;
            [[maybe_unused]] ssize_t r = read(wake_.get(), &n, sizeof n);
            if (!pending_) return;  // a call given up on
            std::shared_ptr<Pending> p = pending_;
            {
                std::lock_guard<std::mutex> hold(p->lock);
                if (!p->done) return;
            }
            pending_.reset();
            takeBack(p->mosq, p->rc, p->err);
        }))
        wake_.reset();
}

MqttLink::~MqttLink() {
    drop();
    endLinger();
    if (wake_.get() >= 0) loop_.unwatch(wake_.get());
}

void MqttLink::start(const MqttSettings& settings, const std::string& clientId,
                     const std::string& password, bool cleanSession, bool v5) {
    drop();
    settings_ = settings;
    clientId_ = clientId;
    password_ = password;
    cleanSession_ = cleanSession;
    v5_ = v5;
    lastLogged_.clear();
    retryMs_ = kFirstRetryMs;
    downSince_ = clock_.now();
    connect();
}

void MqttLink::stop(bool graceful) {
    if (graceful && connected()) {
        // The library closes its socket as soon as DISCONNECT is written; a second descriptor
        // keeps the connection until the broker has read all of it.
        const int fd = dup(mosquitto_socket(mosq_));
        mosquitto_disconnect(mosq_);
        for (int i = 0; i < 16 && mosquitto_want_write(mosq_); ++i)
            if (mosquitto_loop_write(mosq_, 64) != MOSQ_ERR_SUCCESS) break;
        if (fd >= 0) linger(fd);
    }
    drop();
    retry_.setEnabled(false);
    lastError_.clear();
    setState(State::Off);
}

void MqttLink::fail(const std::string& why) {
    if (!failure_) failure_ = why;
}

void MqttLink::drop() {
    housekeeping_.setEnabled(false);
    if (pending_) {
        std::lock_guard<std::mutex> hold(pending_->lock);
        if (pending_->done)
            mosquitto_destroy(pending_->mosq);
        else
            pending_->abandoned = true;
    }
    pending_.reset();
    if (mosq_) {
        unwatchSocket();
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
}

void MqttLink::linger(int fd) {
    endLinger();
    shutdown(fd, SHUT_WR);
    linger_.reset(fd);
    if (!loop_.watch(fd, EPOLLIN, [this](uint32_t) {
            char buf[16384];
            ssize_t n;
            while ((n = read(linger_.get(), buf, sizeof buf)) > 0) {
            }
            if (n == 0 || errno != EAGAIN) endLinger();
        }))
        return endLinger();
    lingerEnd_.setInterval(5000);
    lingerEnd_.setEnabled(true);
}

void MqttLink::endLinger() {
    lingerEnd_.setEnabled(false);
    if (linger_.get() < 0) return;
    loop_.unwatch(linger_.get());
    linger_.reset();
}

void MqttLink::connect() {
    failure_.reset();
    tlsReason_.clear();
    retryNow_ = false;
    mosquitto* mosq = mosquitto_new(clientId_.c_str(), cleanSession_, this);
    if (!mosq) return failed(std::string("cannot make a client: ") + strerror(errno));
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION,
                         v5_ ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(mosq, static_cast<unsigned>(settings_.inflight));
    if (!settings_.user.empty())
        mosquitto_username_pw_set(mosq, settings_.user.c_str(),
                                  settings_.passwordFile.empty() ? nullptr : password_.c_str());
    if (settings_.tls) {
        // The broker's certificate and name are always checked; there is no way around it.
        const char* ca = settings_.caFile.empty() ? nullptr : settings_.caFile.c_str();
        const int rc = mosquitto_tls_set(
            mosq, ca, ca ? nullptr : "/etc/ssl/certs",
            settings_.certFile.empty() ? nullptr : settings_.certFile.c_str(),
            settings_.keyFile.empty() ? nullptr : settings_.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(mosq);
            return failed("TLS: cannot use the certificate files: " +
                          std::string(mosquitto_strerror(rc)));
        }
        if (!ca) mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        mosquitto_tls_opts_set(mosq, 1, nullptr, nullptr);
        mosquitto_tls_insecure_set(mosq, false);
    }
    setState(State::Connecting);
    auto p = std::make_shared<Pending>();
    p->mosq = mosq;
    p->host = settings_.host;
    p->port = settings_.port;
    p->keepalive = settings_.keepalive;
    p->wakeFd = wake_.get();
    if (p->wakeFd >= 0) {
        try {
            std::thread([p] { p->run(); }).detach();
            pending_ = std::move(p);
            return;
        } catch (const std::system_error&) {
        }
    }
    // No thread to be had: the lookup waits here, as it would without one.
    const int rc =
        mosquitto_connect_bind_async(mosq, p->host.c_str(), p->port, p->keepalive, nullptr);
    takeBack(mosq, rc, errno);
}

void MqttLink::takeBack(mosquitto* mosq, int rc, int err) {
    mosq_ = mosq;
    // Set only now: the callbacks run on the loop's thread, inside its calls into the library.
    mosquitto_connect_v5_callback_set(mosq_, onConnect);
    mosquitto_disconnect_v5_callback_set(mosq_, onDisconnect);
    mosquitto_publish_v5_callback_set(mosq_, onPublish);
    mosquitto_message_v5_callback_set(mosq_, onMessage);
    mosquitto_log_callback_set(mosq_, onLog);
    if (rc == MOSQ_ERR_EAI) return failed("host not found: " + settings_.host);
    if (rc != MOSQ_ERR_SUCCESS) return failed(mqttLibraryReason(rc, err));
    housekeeping_.setEnabled(true);
    afterLibrary();
}

void MqttLink::failed(const std::string& why) {
    std::string reason = why;
    if (!tlsReason_.empty() && reason.rfind("TLS", 0) != 0) reason = "TLS: " + tlsReason_;
    const bool wasConnected = state_ == State::Connected;
    drop();
    owner_.linkDown(*this);
    lastError_ = reason;
    if (reason != lastLogged_) {
        lastLogged_ = reason;
        relay_.logError(0, label_ + " " + settings_.broker + ": " + reason + "; trying again");
    }
    setState(State::Error);
    if (retryNow_) return scheduleRetry(0);
    if (wasConnected) retryMs_ = kFirstRetryMs;
    scheduleRetry(retryMs_);
    retryMs_ = std::min(retryMs_ * 2, kLastRetryMs);
}

void MqttLink::scheduleRetry(int ms) {
    static std::minstd_rand random(std::random_device{}());
    // Many relays restarted together do not all call the broker at the same moment.
    const int jitter = ms / 4 > 0 ? static_cast<int>(random() % static_cast<unsigned>(ms / 4)) : 0;
    retry_.setInterval(std::max(1, ms - ms / 8 + jitter));
    retry_.setEnabled(true);
}

void MqttLink::setState(State s) {
    if (s == state_) return;
    // Down from the moment the connection went, however many tries follow.
    if (state_ == State::Connected) downSince_ = clock_.now();
    state_ = s;
    since_ = clock_.wallNow();
}

void MqttLink::watchSocket() {
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

void MqttLink::unwatchSocket() {
    if (fd_ >= 0) loop_.unwatch(fd_);
    fd_ = -1;
    watched_ = 0;
}

void MqttLink::onSocket(uint32_t events) {
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
            failure_ = mqttLibraryReason(rc, err);
    }
    afterLibrary();
}

void MqttLink::afterLibrary() {
    if (!mosq_) return;
    if (failure_) {
        const std::string why = *failure_;
        failure_.reset();
        return failed(why);
    }
    owner_.serviced(*this);
    watchSocket();
    if (failure_) afterLibrary();
}

std::string MqttLink::connackReason(int rc) const {
    const std::string text = v5_ ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc);
    switch (rc) {
        case CONNACK_REFUSED_BAD_USERNAME_PASSWORD:
        case CONNACK_REFUSED_NOT_AUTHORIZED:
        case MQTT_RC_BAD_USERNAME_OR_PASSWORD:
        case MQTT_RC_NOT_AUTHORIZED:
            return "not authorised: " + text;
        default:
            return "refused: " + text;
    }
}

void MqttLink::onConnect(mosquitto*, void* self, int rc, int, const mqtt5__property*) {
    auto& l = *static_cast<MqttLink*>(self);
    if (rc != 0) {
        if (l.v5_ && (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION ||
                      rc == CONNACK_REFUSED_PROTOCOL_VERSION)) {
            l.v5_ = false;
            if (!l.saidV311_)
                l.relay_.logError(0, l.label_ + " " + l.settings_.broker +
                                         " speaks only MQTT 3.1.1: lines are published "
                                         "without their seq property");
            l.saidV311_ = true;
            l.retryNow_ = true;
            l.failure_ = "MQTT 3.1.1 only";
            return;
        }
        l.failure_ = l.connackReason(rc);
        return;
    }
    l.lastError_.clear();
    if (!l.lastLogged_.empty() || l.connects_ == 0)
        l.relay_.logError(
            0, l.label_ + ": connected to " + l.settings_.broker + (l.v5_ ? "" : " (MQTT 3.1.1)"));
    l.lastLogged_.clear();
    ++l.connects_;
    l.retryMs_ = kFirstRetryMs;
    l.setState(State::Connected);
    l.owner_.linkUp(l);
}

void MqttLink::onDisconnect(mosquitto*, void* self, int rc, const mqtt5__property*) {
    auto& l = *static_cast<MqttLink*>(self);
    if (!l.failure_)
        l.failure_ = rc == 0 ? std::string("disconnected")
                             : (l.tlsReason_.empty() ? mqttLibraryReason(rc, errno)
                                                     : "TLS: " + l.tlsReason_);
}

void MqttLink::onPublish(mosquitto*, void* self, int mid, int reason, const mqtt5__property*) {
    static_cast<MqttLink*>(self)->owner_.published(mid, reason);
}

void MqttLink::onMessage(mosquitto*, void* self, const mosquitto_message* m,
                         const mqtt5__property*) {
    static_cast<MqttLink*>(self)->owner_.message(*m);
}

void MqttLink::onLog(mosquitto* m, void* self, int level, const char* text) {
    auto& l = *static_cast<MqttLink*>(self);
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
            reason += " (the certificate is not for " + l.settings_.host + ")";
        else if (verify != X509_V_OK)
            reason += std::string(" (") + X509_verify_cert_error_string(verify) + ")";
    }
    if (l.tlsReason_.empty()) l.tlsReason_ = reason;
}

}  // namespace korrin
