#include "win32_ports_win.h"

#include <algorithm>

#include "registry_key_win.h"
#include "registry_list.h"

namespace korrin {

RegistrySettings::RegistrySettings(HKEY root, std::string application, std::string section)
    : root_(root),
      // A 32-bit program on 64-bit Windows would read HKLM from the redirected WOW6432Node,
      // not where an administrator's 64-bit tools write; 32-bit Windows ignores the flag.
      view_(root == HKEY_LOCAL_MACHINE ? KEY_WOW64_64KEY : 0),
      subKey_("Software\\" + application + "\\" + section) {}

LONG RegistrySettings::read(std::string_view key, DWORD& type, std::string& data) {
    UniqueKey k;
    LONG rc = RegOpenKeyExA(root_, subKey_.c_str(), 0, KEY_READ | view_, k.put());
    if (rc != ERROR_SUCCESS) return rc;
    const std::string name(key);
    // The value may grow between the two calls: ask again until it fits.
    for (int tries = 0; tries < 4; ++tries) {
        DWORD size = 0;
        rc = RegQueryValueExA(k.get(), name.c_str(), nullptr, &type, nullptr, &size);
        if (rc != ERROR_SUCCESS) return rc;
        data.assign(size, '\0');
        rc = RegQueryValueExA(k.get(), name.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(&data[0]), &size);
        if (rc != ERROR_MORE_DATA) {
            data.resize(size);
            return rc;
        }
    }
    return rc;
}

std::string RegistrySettings::get(std::string_view key, std::string_view defaultValue) {
    DWORD type = 0;
    std::string value;
    if (read(key, type, value) != ERROR_SUCCESS || type != REG_SZ) return std::string(defaultValue);
    while (!value.empty() && value.back() == '\0') value.pop_back();
    return value;
}

ListText RegistrySettings::getList(std::string_view key) {
    DWORD type = 0;
    std::string data;
    const LONG rc = read(key, type, data);
    if (rc == ERROR_FILE_NOT_FOUND) return {};  // no key or no value: everyone
    if (rc != ERROR_SUCCESS)
        return {"", "the value cannot be read (error " + std::to_string(rc) + ")"};
    return listTextFromRegistry(type, data);
}

void RegistrySettings::save(std::string_view key, std::string_view value) {
    UniqueKey k;
    if (RegCreateKeyExA(root_, subKey_.c_str(), 0, nullptr, 0, KEY_WRITE | view_, nullptr, k.put(),
                        nullptr) != ERROR_SUCCESS)
        return;
    const std::string name(key), data(value);
    RegSetValueExA(k.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>(data.size() + 1));
}

void FileErrorLog::append(std::string_view line) {
    HANDLE f = CreateFileA(path_.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(f);
}

PostedTimer::PostedTimer(HWND target, UINT message, WPARAM id)
    : target_(target), message_(message), id_(id), thread_([this] { run(); }) {}

PostedTimer::~PostedTimer() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void PostedTimer::rearm() {
    posted_ = false;
    const auto now = std::chrono::steady_clock::now();
    due_ = now + std::chrono::milliseconds(interval_);
    // Re-armed by its own tick's handler: count from that tick, so the handler's run time
    // does not stretch the interval.
    if (inTick_ && due_ > lastTick_ + std::chrono::milliseconds(interval_))
        due_ = std::max(now, lastTick_ + std::chrono::milliseconds(interval_));
    cv_.notify_all();
}

void PostedTimer::setInterval(int ms) {
    std::lock_guard<std::mutex> lock(mu_);
    interval_ = ms < 0 ? 0 : ms;
    rearm();
}

void PostedTimer::setEnabled(bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    if (enabled_ == on) return;
    enabled_ = on;
    rearm();
}

bool PostedTimer::takeTick() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!enabled_ || interval_ <= 0) return false;
    // The clock decides, not only the helper thread's message: on a busy machine the thread
    // may get its turn late, while this runs before every message the GUI thread handles.
    const auto now = std::chrono::steady_clock::now();
    if (!posted_ && now < due_) return false;
    posted_ = false;
    inTick_ = true;
    lastTick_ = std::min(now, due_);
    due_ += std::chrono::milliseconds(interval_);
    if (due_ < now) due_ = now + std::chrono::milliseconds(interval_);  // no burst after a stall
    cv_.notify_all();
    return true;
}

void PostedTimer::tickDone() {
    std::lock_guard<std::mutex> lock(mu_);
    inTick_ = false;
}

void PostedTimer::run() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stop_) {
        // An interval of 0 stops the timer, as does disabling it.
        if (!enabled_ || interval_ <= 0 || posted_) {
            cv_.wait(lock);
            continue;
        }
        if (cv_.wait_until(lock, due_) == std::cv_status::timeout && !stop_ && enabled_ &&
            interval_ > 0 && !posted_ && std::chrono::steady_clock::now() >= due_) {
            posted_ = true;
            PostMessageA(target_, message_, id_, 0);
        }
    }
}

std::string programDirectory() {
    char path[MAX_PATH * 4] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string p(path, n);
    size_t cut = p.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : p.substr(0, cut + 1);
}

}  // namespace korrin
