// Fixed-size text buffers as the exports use them: zero-filled, keeping at most size - 1 bytes
// and a terminating NUL, so a Win32 call may fill them and the text ends at the first NUL.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace oxa {

template <std::size_t N>
class FixedBuffer {
    static_assert(N > 0, "a buffer holds at least its terminating NUL");

  public:
    FixedBuffer() = default;
    explicit FixedBuffer(std::string_view text) { assign(text); }

    // Copies as much of text as fits: longer text is cut to N - 1 bytes.
    void assign(std::string_view text) {
        std::memset(bytes_, 0, N);
        std::memcpy(bytes_, text.data(), text.size() < N ? text.size() : N - 1);
    }
    void fill(char c) {
        std::memset(bytes_, c, N - 1);
        bytes_[N - 1] = '\0';
    }

    char* data() { return bytes_; }
    const char* data() const { return bytes_; }
    static constexpr std::size_t size() { return N; }

    // The text up to the first NUL; the last byte stays NUL unless a caller overwrote it.
    std::string_view text() const {
        const void* nul = std::memchr(bytes_, '\0', N);
        return {bytes_, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - bytes_) : N};
    }

  private:
    char bytes_[N] = {};
};

}  // namespace oxa
