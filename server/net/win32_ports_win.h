// Win32 implementations of the relay's settings store, error log and timers.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "relay_ports.h"

namespace korrin {

// <root>\Software\<application>\<section>: text values REG_SZ; lists also REG_EXPAND_SZ and
// REG_MULTI_SZ. Under HKEY_LOCAL_MACHINE always the 64-bit view.
class RegistrySettings final : public SettingsStore {
public:
    RegistrySettings(HKEY root, std::string application, std::string section);
    std::string get(std::string_view key, std::string_view defaultValue) override;
    ListText getList(std::string_view key) override;
    void save(std::string_view key, std::string_view value) override;

private:
    // The value's type and bytes; a registry error code.
    LONG read(std::string_view key, DWORD& type, std::string& data);

    HKEY root_;
    REGSAM view_;
    std::string subKey_;
};

class FileErrorLog final : public ErrorLog {
public:
    explicit FileErrorLog(std::string path) : path_(std::move(path)) {}
    void append(std::string_view line) override;

private:
    std::string path_;
};

// A timer whose ticks arrive as posted messages (wParam = id). Posted messages keep their
// place among the socket messages, so a flood of network events cannot starve the ticks the
// way a WM_TIMER would be starved.
class PostedTimer final : public Timer {
public:
    PostedTimer(HWND target, UINT message, WPARAM id);
    ~PostedTimer() override;
    PostedTimer(const PostedTimer&) = delete;
    PostedTimer& operator=(const PostedTimer&) = delete;

    void setInterval(int ms) override;
    void setEnabled(bool on) override;
    // Call on the GUI thread, for each tick message and before dispatching any message:
    // true once per tick that is due (the caller runs it), false otherwise.
    bool takeTick();
    // The handler of the tick that takeTick gave has returned.
    void tickDone();
    int interval() const { return interval_; }
    bool enabled() const { return enabled_; }

private:
    void rearm();  // with mu_ held
    void run();

    HWND target_;
    UINT message_;
    WPARAM id_;
    std::mutex mu_;
    std::condition_variable cv_;
    int interval_ = 0;
    bool enabled_ = false;
    bool posted_ = false;  // a tick is due and not yet taken; post no second one meanwhile
    bool stop_ = false;
    std::chrono::steady_clock::time_point due_;
    bool inTick_ = false;  // between takeTick and tickDone
    std::chrono::steady_clock::time_point lastTick_;
    std::thread thread_;
};

// The directory of the running program, with its trailing backslash.
std::string programDirectory();

}  // namespace korrin
