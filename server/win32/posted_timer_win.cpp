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
    pacing_.setInterval(std::chrono::milliseconds(interval_));
    due_ = pacing_.armed(std::chrono::steady_clock::now(), inTick_);
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
    due_ = pacing_.stepRuns(now);
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

}  // namespace korrin
