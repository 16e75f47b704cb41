// One move-only owner for every kind of handle (HKEY, BSTR, HANDLE, ...), shared by both
// deliverables. Traits name the handle type, its invalid value and how to close it.
#pragma once

#include <utility>

namespace oxa {

// Traits: `using type = ...; static type invalid(); static void close(type);`
template <class Traits>
class UniqueHandle {
  public:
    using type = typename Traits::type;

    UniqueHandle() = default;
    explicit UniqueHandle(type h) : h_(h) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : h_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueHandle() { reset(); }

    type get() const { return h_; }
    explicit operator bool() const { return h_ != Traits::invalid(); }

    // For out-parameters: closes what is held and hands out the address to fill.
    type* put() {
        reset();
        return &h_;
    }
    type release() {
        type h = h_;
        h_ = Traits::invalid();
        return h;
    }
    void reset(type h = Traits::invalid()) {
        if (h_ != Traits::invalid()) Traits::close(h_);
        h_ = h;
    }

  private:
    type h_ = Traits::invalid();
};

}  // namespace oxa
