#include "server/win32/posted_timer_win.h"

#include <algorithm>

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

}  // namespace korrin
