// The argument and result conventions shared by all exports of oxasoft.dll.
#include "oxasoft/frame/boundary_win.h"

namespace oxa {

std::string_view read_text(const char* text) noexcept {
    return text ? std::string_view(text) : std::string_view();
}

std::string take_byte_string(BSTR handle) noexcept {
    UniqueBstr owned(handle);
    std::string bytes;
    if (owned) {
        try {
            bytes.assign(reinterpret_cast<const char*>(owned.get()), SysStringByteLen(owned.get()));
        } catch (...) {
            bytes.clear();
        }
    }
    return bytes;
}

BSTR make_string_result(std::string_view bytes) noexcept {
    if (bytes.empty()) return nullptr;
    return SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
}

long read_int(const short* ref) noexcept {
    return ref ? *ref : 0;
}

void write_int(short* ref, long value) noexcept {
    if (ref) *ref = static_cast<short>(value);
}

long read_long(const long* ref) noexcept {
    return ref ? *ref : 0;
}

void write_long(long* ref, long value) noexcept {
    if (ref) *ref = value;
}

}  // namespace oxa
