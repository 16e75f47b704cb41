// The relay's other seams besides the listeners: settings, timers, window, error log.
#pragma once

#include <string>
#include <string_view>

namespace korrin {

// Per-user text settings of the server (application "Oxa Software", section "VarnelServer").
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    virtual std::string get(std::string_view key, std::string_view defaultValue) = 0;
    virtual void save(std::string_view key, std::string_view value) = 0;
};

// A repeating timer: while enabled it ticks every interval; setting the interval restarts it.
class Timer {
public:
    virtual ~Timer() = default;
    virtual void setInterval(int ms) = 0;
    virtual void setEnabled(bool on) = 0;
};

// Appends one line to "IpError.txt"; a file that cannot be written loses the line.
class ErrorLog {
public:
    virtual ~ErrorLog() = default;
    virtual void append(std::string_view line) = 0;
};

// What the relay asks of the window that mirrors its state.
class RelayView {
public:
    enum Change : unsigned {
        kSenders = 1,    // List1
        kQueue = 2,      // List2
        kReceivers = 4,  // List3
        kLabels = 8,     // Label2, Label3, Label4
        kStatus = 16,    // StatusBar1
    };
    virtual ~RelayView() = default;
    virtual void changed(unsigned what) = 0;
    virtual void messageBox(std::string_view text) = 0;
};

}  // namespace korrin
