// One move-only owner for every Win32 handle kind; the invalid value is part of the type.
#pragma once

#include <utility>

namespace korrin {

template <typename T, auto Close, T Invalid>
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(T h) : h_(h) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
    UniqueHandle& operator=(UniqueHandle&& o) noexcept {
        reset(o.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    T get() const { return h_; }
    explicit operator bool() const { return h_ != Invalid; }
    T release() { return std::exchange(h_, Invalid); }
    void reset(T h = Invalid) {
        if (h_ != Invalid) Close(h_);
        h_ = h;
    }
    // For out-parameters of API calls.
    T* put() {
        reset();
        return &h_;
    }

private:
    T h_ = Invalid;
};

}  // namespace korrin
