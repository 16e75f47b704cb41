// How arguments and results cross the oxasoft.dll boundary, written once for every export:
// text pointers, byte-string handles (BSTR with 8-bit payload), 16- and 32-bit references,
// string results, and the catch-all that keeps exceptions inside the library.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "common/unique_handle.h"

namespace oxa {

struct BstrTraits {
    using type = BSTR;
    static BSTR invalid() { return nullptr; }
    static void close(BSTR b) { SysFreeString(b); }
};
using UniqueBstr = UniqueHandle<BstrTraits>;

// Text pointer: the text up to its first NUL; a null pointer reads as the empty text.
std::string_view read_text(const char* text) noexcept;

// Byte-string handle: copies all SysStringByteLen bytes (NULs included) and releases the handle.
// A null handle is the empty text. If the copy cannot be allocated the text is empty.
std::string take_byte_string(BSTR handle) noexcept;

// String result: a new byte string the caller frees, or a null handle for the empty text
// (also when the allocation fails).
BSTR make_string_result(std::string_view bytes) noexcept;

// Integer references (16-bit, read sign-extended) and long references (32-bit). A null
// reference reads as 0 and is not written.
long read_int(const short* ref) noexcept;
void write_int(short* ref, long value) noexcept;
long read_long(const long* ref) noexcept;
void write_long(long* ref, long value) noexcept;

// A handle (HWND, HKEY) that callers keep in a 32-bit long. 64-bit Windows gives windows and
// keys handles that fit in 32 bits and defines the predefined roots sign-extended
// (HKEY_CURRENT_USER is 0xFFFFFFFF80000001): the long is widened with its sign, never with zeros.
template <class Handle>
Handle handle_from_long(long value) noexcept {
    return reinterpret_cast<Handle>(static_cast<LONG_PTR>(value));
}
template <class Handle>
long long_from_handle(Handle handle) noexcept {
    return static_cast<long>(reinterpret_cast<LONG_PTR>(handle));
}

// The boundary of an export: nothing thrown inside may reach the caller.
template <class R, class F>
R guarded(R on_failure, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return on_failure;
    }
}

// An export with a string result: body returns std::string (or something convertible).
template <class F>
BSTR string_export(F&& body) noexcept {
    try {
        return make_string_result(body());
    } catch (...) {
        return nullptr;
    }
}

}  // namespace oxa
