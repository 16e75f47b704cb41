// The relay's seams to its platform besides the listeners: settings, timers, clock, the
// view that mirrors it, and the error log. Each front end plugs its own adapters in.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace korrin {

// A list setting ("Bind", "AllowSenders", "AllowReceivers") as stored.
struct ListText {
    std::string text;   // comma-separated entries; empty when the value is absent or empty
    std::string error;  // not empty: the value exists but reads as no list (says why)
    bool operator==(const ListText& o) const { return text == o.text && error == o.error; }
    bool operator!=(const ListText& o) const { return !(*this == o); }
};

// Text settings of the server.
class SettingsStore {
  public:
    virtual ~SettingsStore() = default;
    // A text value ("Port", "Timer"); the default when it is missing or is no text.
    virtual std::string get(std::string_view key, std::string_view defaultValue) = 0;
    // A list value; one that cannot be read as a list says so, and never reads as empty.
    virtual ListText getList(std::string_view key) = 0;
    virtual void save(std::string_view key, std::string_view value) = 0;
};

// A repeating timer: while enabled it ticks every interval; setting the interval restarts it.
class Timer {
  public:
    virtual ~Timer() = default;
    virtual void setInterval(int ms) = 0;
    virtual void setEnabled(bool on) = 0;
};

// Where the relay takes the time from, so that tests can pass made-up times.
class Clock {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using WallTime = std::chrono::system_clock::time_point;
    virtual ~Clock() = default;
    virtual TimePoint now() = 0;
    // The time of day, for what people read ("connected since").
    virtual WallTime wallNow() = 0;
};

class SteadyClock final : public Clock {
  public:
    TimePoint now() override { return std::chrono::steady_clock::now(); }
    WallTime wallNow() override { return std::chrono::system_clock::now(); }
};

// The numbers the relay logs its own errors under, so that they read like the platform's
// other errors: Winsock's on Windows (the defaults), errno's on Linux.
struct ErrorNumbers {
    int refused = 10013;     // a peer the allow list refuses ("permission denied")
    int badSetting = 10022;  // a wrong setting ("invalid argument")
    int queueFull = 10055;   // reading paused ("no buffer space available")
    int spoolFailed = 29;    // the spool cannot be written ("write fault")
};

// Appends one line to "IpError.txt"; a file that cannot be written loses the line.
class ErrorLog {
  public:
    virtual ~ErrorLog() = default;
    virtual void append(std::string_view line) = 0;
    virtual ErrorNumbers numbers() const { return {}; }
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
