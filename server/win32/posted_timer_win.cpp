#include "server/win32/posted_timer_win.h"

namespace korrin {

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
    cv_.notify_all();
}

void PostedTimer::setInterval(int ms) {
    std::lock_guard<std::mutex> lock(mu_);
    schedule_.setInterval(ms, std::chrono::steady_clock::now());
    rearm();
}

void PostedTimer::setEnabled(bool on) {
    std::lock_guard<std::mutex> lock(mu_);
    if (schedule_.enabled() == on) return;
    schedule_.setEnabled(on, std::chrono::steady_clock::now());
    rearm();
}

bool PostedTimer::takeTick() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!schedule_.running()) return false;
    // The clock decides, not only the helper thread's message: on a busy machine the thread
    // may get its turn late, while this runs before every message the GUI thread handles.
    const auto now = std::chrono::steady_clock::now();
    if (!posted_ && now < schedule_.due()) return false;
    posted_ = false;
    schedule_.tickStarts(now);
    cv_.notify_all();
    return true;
}

void PostedTimer::tickDone() {
    std::lock_guard<std::mutex> lock(mu_);
    schedule_.tickEnds();
}

void PostedTimer::run() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stop_) {
        // An interval of 0 stops the timer, as does disabling it.
        if (!schedule_.running() || posted_) {
            cv_.wait(lock);
            continue;
        }
        if (cv_.wait_until(lock, schedule_.due()) == std::cv_status::timeout && !stop_ &&
            schedule_.running() && !posted_ &&
            std::chrono::steady_clock::now() >= schedule_.due()) {
            posted_ = true;
            PostMessageA(target_, message_, id_, 0);
        }
    }
}

}  // namespace korrin
