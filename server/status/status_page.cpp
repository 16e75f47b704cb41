#include "server/status/status_page.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "server/status/sha256.h"

namespace korrin {

namespace {

constexpr int kChartWidth = 300, kChartHeight = 60;

const char kStyle[] = R"CSS(
body{font:15px/1.4 system-ui,sans-serif;margin:0 auto;max-width:60em;padding:.5em 1em;color:#222;background:#fafafa}
h1{font-size:1.3em;margin:.4em 0}h2{font-size:1.05em;margin:1.2em 0 .3em}
dl{display:grid;grid-template-columns:max-content 1fr;gap:.15em 1em;margin:0}dt{color:#555}dd{margin:0}
table{border-collapse:collapse;width:100%;font-variant-numeric:tabular-nums}
th,td{text-align:left;padding:.2em .5em;border-bottom:1px solid #ddd;overflow-wrap:anywhere}
.scroll{overflow-x:auto}
svg{width:100%;height:4em;background:#fff;border:1px solid #ddd}polyline{fill:none;stroke:#2a6;stroke-width:1.5}
.chart{display:grid;grid-template-columns:max-content 1fr;gap:0 .4em;font-size:.8em;color:#555}
.chart .top{align-self:start}.chart .span{grid-column:2;display:flex;justify-content:space-between}
pre{background:#fff;border:1px solid #ddd;padding:.5em;overflow-x:auto;white-space:pre-wrap;overflow-wrap:anywhere;font-size:.85em}
.bad{color:#b00;font-weight:600}footer{color:#777;font-size:.85em;margin:1em 0}
)CSS";

const char kScript[] = R"JS(
(function () {
  'use strict';
  function el(id) { return document.getElementById(id); }
  function set(id, text) { el(id).textContent = text; }
  function duration(s) {
    s = Math.floor(s);
    var d = Math.floor(s / 86400), h = Math.floor(s / 3600) % 24, m = Math.floor(s / 60) % 60;
    var t = (h < 10 ? '0' : '') + h + ':' + (m < 10 ? '0' : '') + m + ':' + (s % 60 < 10 ? '0' : '') + s % 60;
    return d > 0 ? d + ' d ' + t : t;
  }
  function port(n, on) { return n + (on ? '' : ' (not listening)'); }
  function fill(id, list, cols) {
    var body = el(id);
    while (body.firstChild) body.removeChild(body.firstChild);
    list.forEach(function (p) {
      var tr = document.createElement('tr');
      cols.forEach(function (c) { var td = document.createElement('td'); td.textContent = c(p); tr.appendChild(td); });
      body.appendChild(tr);
    });
  }
  function points(history) {
    var max = Math.max.apply(null, history.concat([1]));
    return history.map(function (v, i) {
      return (i + 300 - history.length) + ',' + (60 - 56 * v / max).toFixed(1);
    }).join(' ');
  }
  function spool(p) {
    if (!p.folder) return 'none: the queue is in memory';
    return p.folder + ': ' + p.bytes + ' bytes in ' + p.segments + ' segments; lines ' + p.first_seq +
      ' to ' + p.last_seq + ', sent to ' + p.sent_seq + ', on disk to ' + p.synced_seq +
      '; flush p99 ' + p.sync_p99_ms.toFixed(1) + ' ms' + (p.error ? '; ' + p.error : '');
  }
  function mqtt(m) {
    if (m.state === 'off' && !m.broker) return 'off';
    return m.broker + ': ' + m.state + (m.since ? ' since ' + m.since : '') + '; ' + m.published +
      ' published, acknowledged to ' + m.acknowledged_seq + ', ' + m.backlog + ' owed, ' +
      m.in_flight + ' in flight, ' + m.received + ' received' +
      (m.last_error ? '; ' + m.last_error : '');
  }
  function show(s) {
    set('input-port', port(s.ports.input, s.ports.input_listening));
    set('output-port', port(s.ports.output, s.ports.output_listening));
    el('input-port').className = s.ports.input_listening ? '' : 'bad';
    el('output-port').className = s.ports.output_listening ? '' : 'bad';
    set('bind', s.ports.bind || 'every interface');
    set('interval', s.interval_ms + ' ms');
    set('uptime', duration(s.uptime_seconds));
    set('paused', s.queue.paused ? 'paused: the queue is full' : 'reading');
    el('paused').className = s.queue.paused ? 'bad' : '';
    set('last-error', s.last_error || 'none');
    set('spool', spool(s.spool));
    el('spool').className = s.spool.error ? 'bad' : '';
    set('mqtt', mqtt(s.mqtt));
    el('mqtt').className = s.mqtt.state === 'error' ? 'bad' : '';
    set('queue-lines', s.queue.lines);
    set('queue-bytes', s.queue.bytes);
    set('rate-in', s.rates.lines_in_per_second.toFixed(1));
    set('rate-out', s.rates.lines_out_per_second.toFixed(1));
    el('chart-line').setAttribute('points', points(s.queue.history));
    set('chart-max', Math.max.apply(null, s.queue.history.concat([0])));
    set('chart-span', s.queue.history.length + ' s ago');
    set('receiver-count', s.receivers.length);
    set('sender-count', s.senders.length);
    fill('receivers', s.receivers, [function (p) { return p.address; },
      function (p) { return p.kind === 'tcp' ? p.id : p.id + ' (' + p.kind + ')'; },
      function (p) { return p.connected_since; }, function (p) { return p.lines_sent; },
      function (p) { return p.bytes_behind; }]);
    fill('senders', s.senders, [function (p) { return p.address; }, function (p) { return p.id; },
      function (p) { return p.connected_since; }, function (p) { return p.lines_received; }]);
    set('log', s.log.length ? s.log.join('\n') : '(nothing written since the start)');
    set('refreshed', new Date().toLocaleTimeString());
  }
  function refresh() {
    fetch('/status.json', { cache: 'no-store' })
      .then(function (r) { return r.json(); })
      .then(show)
      .catch(function () { set('refreshed', 'no answer from the server'); });
  }
  setInterval(refresh, 1000);
})();
)JS";

std::string escapeHtml(const std::string& text) {
    std::string out;
    for (char ch : latin1ToUtf8(text)) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                // Controls are no text of a page.
                if (c < 0x20 && c != '\t' && c != '\n')
                    out += "&#xFFFD;";
                else
                    out += ch;
        }
    }
    return out;
}

std::string duration(double seconds) {
    const auto s = static_cast<long long>(seconds);
    char buf[48];
    if (s >= 86400)
        snprintf(buf, sizeof buf, "%lld d %02lld:%02lld:%02lld", s / 86400, s / 3600 % 24,
                 s / 60 % 60, s % 60);
    else
        snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    return buf;
}

std::string chartPoints(const std::vector<uint64_t>& history) {
    const uint64_t max = std::max<uint64_t>(
        1, history.empty() ? 1 : *std::max_element(history.begin(), history.end()));
    std::string out;
    char buf[48];
    for (size_t i = 0; i < history.size(); ++i) {
        snprintf(buf, sizeof buf, "%s%zu,%.1f", i ? " " : "", i + kChartWidth - history.size(),
                 kChartHeight - 56.0 * static_cast<double>(history[i]) / static_cast<double>(max));
        out += buf;
    }
    return out;
}

std::string number(double v, const char* format = "%.1f") {
    char buf[48];
    snprintf(buf, sizeof buf, format, v);
    return buf;
}

std::string portText(int32_t port, bool listening) {
    return std::to_string(port) + (listening ? "" : " (not listening)");
}

std::string peerRows(const std::vector<PeerStatus>& peers, bool receivers) {
    std::string out;
    for (const PeerStatus& p : peers) {
        const std::string kind = p.kind == "tcp" ? "" : " (" + p.kind + ")";
        out += "<tr><td>" + escapeHtml(p.address) + "</td><td>" + std::to_string(p.id) + kind +
               "</td><td>" + escapeHtml(isoUtc(p.since)) + "</td><td>" + std::to_string(p.lines) +
               "</td>";
        if (receivers) out += "<td>" + std::to_string(p.bytesBehind) + "</td>";
        out += "</tr>";
    }
    return out;
}

nlohmann::json peersJson(const std::vector<PeerStatus>& peers, bool receivers) {
    nlohmann::json list = nlohmann::json::array();
    for (const PeerStatus& p : peers) {
        nlohmann::json o = {{"id", p.id},
                            {"address", latin1ToUtf8(p.address)},
                            {"connected_since", isoUtc(p.since)},
                            {"connected_seconds", p.connectedSeconds}};
        if (receivers) {
            o["kind"] = p.kind;
            o["lines_sent"] = p.lines;
            o["bytes_behind"] = p.bytesBehind;
        } else {
            o["lines_received"] = p.lines;
        }
        list.push_back(std::move(o));
    }
    return list;
}

void metric(std::string& out, const char* name, const char* type, const char* help,
            const std::string& value) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
           name + " " + value + "\n";
}

}  // namespace

std::string latin1ToUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string isoUtc(Clock::WallTime t) {
    // Days to a civil date (H. Hinnant's algorithm): no gmtime, which differs by platform.
    const long long secs =
        std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
    long long days = secs / 86400, rem = secs % 86400;
    if (rem < 0) rem += 86400, --days;
    const long long z = days + 719468, era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    const long long d = doy - (153 * mp + 2) / 5 + 1, m = mp < 10 ? mp + 3 : mp - 9;
    const long long y = yoe + era * 400 + (m <= 2);
    char buf[32];
    snprintf(buf, sizeof buf, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", y, m, d, rem / 3600,
             rem / 60 % 60, rem % 60);
    return buf;
}

std::string renderStatusJson(const StatusSnapshot& s) {
    nlohmann::json refused = nlohmann::json::object();
    for (const auto& [port, n] : s.counters.refusedByPort) refused[std::to_string(port)] = n;
    nlohmann::json log = nlohmann::json::array();
    for (const std::string& line : s.log) log.push_back(latin1ToUtf8(line));
    const nlohmann::json j = {
        {"version", s.version},
        {"started_at", s.startedAt},
        {"uptime_seconds", s.uptimeSeconds},
        {"ports",
         {{"input", s.inputPort},
          {"output", s.outputPort},
          {"input_listening", s.inputListening},
          {"output_listening", s.outputListening},
          {"bind", latin1ToUtf8(s.bind)},
          {"input_not_bound", s.inputNotBound},
          {"output_not_bound", s.outputNotBound}}},
        {"interval_ms", s.intervalMs},
        {"queue",
         {{"lines", s.queueLines},
          {"bytes", s.queueBytes},
          {"paused", s.paused},
          {"history", s.queueHistory}}},
        {"spool",
         {{"folder", latin1ToUtf8(s.spool.folder)},
          {"bytes", s.spool.bytes},
          {"segments", s.spool.segments},
          {"first_seq", s.spool.firstSeq},
          {"sent_seq", s.spool.sentSeq},
          {"last_seq", s.spool.lastSeq},
          {"synced_seq", s.spool.syncedSeq},
          {"sync_p99_ms", s.spool.syncP99Ms},
          {"error", latin1ToUtf8(s.spool.error)}}},
        {"rates",
         {{"lines_in_per_second", s.linesInPerSecond},
          {"lines_out_per_second", s.linesOutPerSecond}}},
        {"receivers", peersJson(s.receivers, true)},
        {"senders", peersJson(s.senders, false)},
        {"counters",
         {{"lines_in", s.counters.linesIn},
          {"lines_out", s.counters.linesOut},
          {"send_failures", s.counters.sendFailures},
          {"refused", refused},
          {"replayed_lines", s.counters.replayedLines},
          {"resumed_receivers", s.counters.resumedReceivers},
          {"lines_lost", s.counters.linesLost}}},
        {"last_error", latin1ToUtf8(s.lastError)},
        {"log", log},
        {"mqtt",
         {{"broker", s.mqtt.broker},
          {"state", s.mqtt.state},
          {"since", s.mqtt.since},
          {"published", s.mqtt.published},
          {"acknowledged_seq", s.mqtt.acknowledgedSeq},
          {"backlog", s.mqtt.backlog},
          {"in_flight", s.mqtt.inFlight},
          {"last_error", s.mqtt.lastError},
          {"received", s.mqtt.received}}},
    };
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

namespace {
void histogram(std::string& out, const std::string& name, const std::string& help,
               const LatenessHistogram& h) {
    out += "# HELP " + name + " " + help + "\n# TYPE " + name + " histogram\n";
    uint64_t cumulative = 0;
    for (size_t b = 0; b <= LatenessHistogram::kBuckets; ++b) {
        cumulative += h.counts[b];
        const std::string le =
            b < LatenessHistogram::kBuckets ? number(LatenessHistogram::kBounds[b], "%g") : "+Inf";
        out += name + "_bucket{le=\"" + le + "\"} " + std::to_string(cumulative) + "\n";
    }
    out += name + "_sum " + number(h.sum, "%.6f") + "\n" + name + "_count " +
           std::to_string(h.count) + "\n";
}

std::string mqttText(const MqttStatus& m) {
    if (m.state == "off" && m.broker.empty()) return "off";
    return m.broker + ": " + m.state + (m.since.empty() ? "" : " since " + m.since) + "; " +
           std::to_string(m.published) + " published, acknowledged to " +
           std::to_string(m.acknowledgedSeq) + ", " + std::to_string(m.backlog) + " owed, " +
           std::to_string(m.inFlight) + " in flight, " + std::to_string(m.received) + " received" +
           (m.lastError.empty() ? "" : "; " + m.lastError);
}

std::string spoolText(const SpoolStatus& p) {
    if (p.folder.empty()) return "none: the queue is in memory";
    char flush[32];
    snprintf(flush, sizeof flush, "%.1f", p.syncP99Ms);
    return p.folder + ": " + std::to_string(p.bytes) + " bytes in " + std::to_string(p.segments) +
           " segments; lines " + std::to_string(p.firstSeq) + " to " + std::to_string(p.lastSeq) +
           ", sent to " + std::to_string(p.sentSeq) + ", on disk to " +
           std::to_string(p.syncedSeq) + "; flush p99 " + flush + " ms" +
           (p.error.empty() ? "" : "; " + p.error);
}
}  // namespace

std::string renderMetrics(const StatusSnapshot& s) {
    std::string out;
    metric(out, "korrin_queue_lines", "gauge", "Lines waiting in the send queue.",
           std::to_string(s.queueLines));
    metric(out, "korrin_queue_bytes", "gauge", "Bytes of the lines in the send queue.",
           std::to_string(s.queueBytes));
    metric(out, "korrin_receivers", "gauge", "Connected receivers.",
           std::to_string(s.receivers.size()));
    // The metrics of what is switched off are left out, so that a monitoring system sees the
    // names it always saw.
    if (s.eventsOn)
        metric(
            out, "korrin_event_streams", "gauge", "Receivers reading the event stream /events.",
            std::to_string(std::count_if(s.receivers.begin(), s.receivers.end(),
                                         [](const PeerStatus& p) { return p.kind == "events"; })));
    metric(out, "korrin_senders", "gauge", "Connected senders.", std::to_string(s.senders.size()));
    metric(out, "korrin_paused", "gauge", "1 while reading from senders is paused (queue full).",
           s.paused ? "1" : "0");
    out +=
        "# HELP korrin_port_listening 1 while the relay port listens.\n"
        "# TYPE korrin_port_listening gauge\n"
        "korrin_port_listening{port=\"input\"} " +
        std::string(s.inputListening ? "1" : "0") + "\nkorrin_port_listening{port=\"output\"} " +
        (s.outputListening ? "1" : "0") + "\n";
    metric(out, "korrin_lines_in_total", "counter", "Complete lines that joined the queue.",
           std::to_string(s.counters.linesIn));
    metric(out, "korrin_lines_out_total", "counter", "Lines the send steps took from the queue.",
           std::to_string(s.counters.linesOut));
    metric(out, "korrin_send_failures_total", "counter",
           "Receivers dropped because a send to them failed.",
           std::to_string(s.counters.sendFailures));
    out +=
        "# HELP korrin_refused_total Connections refused by an allow list.\n"
        "# TYPE korrin_refused_total counter\n";
    for (const auto& [port, n] : s.counters.refusedByPort)
        out += "korrin_refused_total{port=\"" + std::to_string(port) + "\"} " + std::to_string(n) +
               "\n";
    histogram(out, "korrin_pacing_lateness_seconds",
              "How late each send step ran against its due time.", s.counters.lateness);
    metric(out, "korrin_spool_bytes", "gauge", "Bytes the spool holds on disk.",
           std::to_string(s.spool.bytes));
    metric(out, "korrin_spool_segments", "gauge", "Segment files of the spool.",
           std::to_string(s.spool.segments));
    histogram(out, "korrin_spool_sync_seconds",
              "How long each flush of the spool to stable storage took.", s.spool.syncSeconds);
    metric(out, "korrin_replayed_lines_total", "counter",
           "Sent lines given again to receivers that connected.",
           std::to_string(s.counters.replayedLines));
    metric(out, "korrin_resumed_receivers_total", "counter",
           "Receivers that took up their place from before.",
           std::to_string(s.counters.resumedReceivers));
    if (!s.mqtt.broker.empty() || s.mqtt.state != "off") {
        metric(out, "korrin_mqtt_connected", "gauge", "1 while the MQTT bridge is connected.",
               s.mqtt.state == "connected" ? "1" : "0");
        metric(out, "korrin_mqtt_published_total", "counter", "Lines published to the broker.",
               std::to_string(s.mqtt.published));
        metric(out, "korrin_mqtt_backlog_lines", "gauge", "Lines the broker has not acknowledged.",
               std::to_string(s.mqtt.backlog));
        metric(out, "korrin_mqtt_reconnects_total", "counter", "Connections made to the broker.",
               std::to_string(s.mqtt.reconnects));
        metric(out, "korrin_mqtt_received_total", "counter", "Messages taken from MqttSubscribe.",
               std::to_string(s.mqtt.received));
    }
    out +=
        "# HELP korrin_lines_lost_total Lines a receiver or the spool could no longer have.\n"
        "# TYPE korrin_lines_lost_total counter\n";
    const bool bridge = !s.mqtt.broker.empty() || s.mqtt.state != "off";
    for (const char* reason : {"not_kept", "damaged", "mqtt"}) {
        if (!bridge && std::string(reason) == "mqtt") continue;
        const auto it = s.counters.linesLost.find(reason);
        out += std::string("korrin_lines_lost_total{reason=\"") + reason + "\"} " +
               std::to_string(it == s.counters.linesLost.end() ? 0 : it->second) + "\n";
    }
    return out;
}

const std::string& statusPagePolicy() {
    static const std::string policy = "default-src 'none'; script-src " + cspHash(kScript) +
                                      "; style-src " + cspHash(kStyle) +
                                      "; connect-src 'self'; base-uri 'none'; form-action "
                                      "'none'; frame-ancestors 'none'";
    return policy;
}

std::string renderStatusPage(const StatusSnapshot& s) {
    std::string log;
    for (const std::string& line : s.log) log += (log.empty() ? "" : "\n") + escapeHtml(line);
    const bool paused = s.paused;
    std::string p;
    p += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
         "<title>Korrin Server status</title><style>";
    p += kStyle;
    p += "</style></head><body>\n<h1>Korrin Server <span id=\"version\">" + escapeHtml(s.version) +
         "</span></h1>\n";
    if (s.eventsOn)
        p += "<p>The lines as they are sent: <a href=\"/board\">the display board</a>, the "
             "event stream <a href=\"/events\">/events</a>.</p>\n";
    p += "<section><h2>Relay</h2><dl>";
    p += "<dt>Input port</dt><dd id=\"input-port\"" +
         std::string(s.inputListening ? "" : " class=\"bad\"") + ">" +
         portText(s.inputPort, s.inputListening) + "</dd>";
    p += "<dt>Output port</dt><dd id=\"output-port\"" +
         std::string(s.outputListening ? "" : " class=\"bad\"") + ">" +
         portText(s.outputPort, s.outputListening) + "</dd>";
    p += "<dt>Bind</dt><dd id=\"bind\">" +
         (s.bind.empty() ? "every interface" : escapeHtml(s.bind)) + "</dd>";
    p += "<dt>Pacing</dt><dd id=\"interval\">" + std::to_string(s.intervalMs) + " ms</dd>";
    p += "<dt>Up for</dt><dd id=\"uptime\">" + duration(s.uptimeSeconds) + "</dd>";
    p += "<dt>Reading from senders</dt><dd id=\"paused\"" +
         std::string(paused ? " class=\"bad\">paused: the queue is full" : ">reading") + "</dd>";
    p += "<dt>Last send error</dt><dd id=\"last-error\">" +
         (s.lastError.empty() ? "none" : escapeHtml(s.lastError)) + "</dd>";
    p += "<dt>Spool</dt><dd id=\"spool\"" +
         std::string(s.spool.error.empty() ? "" : " class=\"bad\"") + ">" +
         escapeHtml(spoolText(s.spool)) + "</dd>";
    p += "<dt>MQTT</dt><dd id=\"mqtt\"" +
         std::string(s.mqtt.state == "error" ? " class=\"bad\"" : "") + ">" +
         escapeHtml(mqttText(s.mqtt)) + "</dd></dl></section>\n";
    p += "<section><h2>Queue</h2><p><span id=\"queue-lines\">" + std::to_string(s.queueLines) +
         "</span> lines, <span id=\"queue-bytes\">" + std::to_string(s.queueBytes) +
         "</span> bytes; lines in <span id=\"rate-in\">" + number(s.linesInPerSecond) +
         "</span>/s, out <span id=\"rate-out\">" + number(s.linesOutPerSecond) +
         "</span>/s</p>\n<div class=\"chart\"><span class=\"top\" id=\"chart-max\">" +
         std::to_string(s.queueHistory.empty()
                            ? 0
                            : *std::max_element(s.queueHistory.begin(), s.queueHistory.end())) +
         "</span><svg viewBox=\"0 0 300 60\" preserveAspectRatio=\"none\" role=\"img\" "
         "aria-label=\"Lines in the queue over the last five minutes\"><polyline id=\"chart-line\" "
         "points=\"" +
         chartPoints(s.queueHistory) + "\"/></svg><span class=\"span\"><span id=\"chart-span\">" +
         std::to_string(s.queueHistory.size()) +
         " s ago</span><span>now</span></span></div></section>\n";
    p += "<section><h2>Receivers (<span id=\"receiver-count\">" +
         std::to_string(s.receivers.size()) +
         "</span>)</h2><div class=\"scroll\"><table><thead><tr><th>Address</th><th>Id</th>"
         "<th>Connected since (UTC)</th><th>Lines sent</th><th>Bytes behind</th></tr></thead>"
         "<tbody id=\"receivers\">" +
         peerRows(s.receivers, true) + "</tbody></table></div></section>\n";
    p +=
        "<section><h2>Senders (<span id=\"sender-count\">" + std::to_string(s.senders.size()) +
        "</span>)</h2><div class=\"scroll\"><table><thead><tr><th>Address</th><th>Id</th>"
        "<th>Connected since (UTC)</th><th>Lines received</th></tr></thead><tbody id=\"senders\">" +
        peerRows(s.senders, false) + "</tbody></table></div></section>\n";
    p += "<section><h2>Error log</h2><pre id=\"log\">" +
         (log.empty() ? "(nothing written since the start)" : log) + "</pre></section>\n";
    p += "<footer>Started " + escapeHtml(s.startedAt) +
         "; refreshed every second: <span id=\"refreshed\">as served</span></footer>\n<script>";
    p += kScript;
    p += "</script></body></html>\n";
    return p;
}

}  // namespace korrin
