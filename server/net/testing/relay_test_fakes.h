// Fakes of the relay's seams for native tests: they record what they are asked and answer
// as told.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "server/net/listener.h"
#include "server/net/relay_seams.h"

namespace korrin {

// A listener that records what the relay asks of it.
struct FakeListener : Listener {
    bool listening = false;
    int32_t port = 0;
    std::set<int32_t> busyPorts;
    std::map<int, std::string> remote;
    std::map<int, std::string> delimiter;
    std::map<int, bool> receiving;
    std::vector<int> closed;
    std::map<int, std::string> sent;
    std::set<int> failingSends;
    std::set<int> closing;  // closed or found closed, closed event not yet delivered
    bool paused = false;

    int switched = 0;  // setListening calls
    OpResult setListening(bool on) override {
        ++switched;
        if (on && busyPorts.count(port)) return {10048, "Address already in use"};
        listening = on;
        return {};
    }
    OpResult setLocalPort(int32_t p) override {
        port = p;
        return {};
    }
    std::vector<IpAddress> addresses;
    OpResult setLocalAddresses(const std::vector<IpAddress>& a) override {
        addresses = a;
        return {};
    }
    std::string localAddress() override { return "10.0.0.5"; }
    OpResult setLineDelimiter(int id, std::string_view d) override {
        delimiter[id] = std::string(d);
        return {};
    }
    OpResult setReceiving(int id, bool on) override {
        receiving[id] = on;
        return {};
    }
    std::string remoteAddress(int id) override {
        return remote.count(id) ? remote[id] : "127.0.0.1";
    }
    std::map<int, std::string> local;  // the address each peer came in through
    std::string localAddressOf(int id) override {
        return local.count(id) ? local[id] : "127.0.0.1";
    }
    bool isOpen(int id) override { return !closing.count(id); }
    OpResult closeConnection(int id) override {
        closed.push_back(id);
        return {};
    }
    OpResult send(int id, std::string_view bytes) override {
        if (failingSends.count(id)) return {10054, "Connection reset by peer"};
        sent[id].append(bytes);
        return {};
    }
    void pauseReading(bool p) override { paused = p; }
    std::map<int, size_t> pending;  // what each connection's buffer holds, as told
    size_t pendingBytes(int id) override { return pending.count(id) ? pending[id] : 0; }
    OpResult closeWhenSent(int id) override { return closeConnection(id); }
    std::map<int, size_t> unsent;  // what a closed connection's buffer held
    size_t unsentAtClose(int id) override { return unsent.count(id) ? unsent[id] : 0; }
};

struct FakeSettings : SettingsStore {
    std::map<std::string, std::string> values;
    std::map<std::string, std::string> noList;  // list values that read as no list: why
    std::string get(std::string_view k, std::string_view d) override {
        auto it = values.find(std::string(k));
        return it == values.end() ? std::string(d) : it->second;
    }
    ListText getList(std::string_view k) override {
        auto bad = noList.find(std::string(k));
        if (bad != noList.end()) return {"", bad->second};
        return {get(k, ""), ""};
    }
    void save(std::string_view k, std::string_view v) override { values[std::string(k)] = v; }
};

struct FakeTimer : Timer {
    int interval = 1000;
    bool enabled = true;
    void setInterval(int ms) override { interval = ms; }
    void setEnabled(bool on) override { enabled = on; }
};

struct FakeLog : ErrorLog {
    std::string text;
    void append(std::string_view line) override { text.append(line); }
};

struct FakeClock : Clock {
    TimePoint t{};
    TimePoint now() override { return t; }
    WallTime wallNow() override { return WallTime(t.time_since_epoch()); }
};

struct FakeView : RelayView {
    std::vector<std::string> boxes;
    void changed(unsigned) override {}
    void messageBox(std::string_view t) override { boxes.emplace_back(t); }
};

}  // namespace korrin
