// Calling oxasoft.dll as its callers do: the DLL is loaded by name, every export is looked up
// with GetProcAddress and called with raw 32-bit arguments, and each call is checked to have
// removed exactly its arguments from the stack (stdcall, 4 bytes per parameter).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace oxatest {

HMODULE oxasoft_module();

// Calls export `name` with `count` words pushed right to left; reports a test failure when
// the name is missing or the stack is unbalanced afterwards. Returns the 32-bit result.
std::uint32_t call_words(const char* name, const std::uint32_t* words, int count);

template <class T>
std::uint32_t to_word(T v) {
    if constexpr (std::is_null_pointer_v<T>) {
        return 0;
    } else if constexpr (std::is_pointer_v<T>) {
        return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(v));
    } else {
        return static_cast<std::uint32_t>(v);
    }
}

template <class... Args>
std::uint32_t call(const char* name, Args... args) {
    const std::uint32_t words[] = {to_word(args)..., 0};
    return call_words(name, words, static_cast<int>(sizeof...(Args)));
}

// A byte string to pass in; the export takes ownership of it.
BSTR byte_string(std::string_view bytes);

// Takes a string result: its bytes, after checking that an empty result is a null handle,
// and frees it.
std::string take_result(std::uint32_t handle);

template <class... Args>
std::string call_string(const char* name, Args... args) {
    return take_result(call(name, args...));
}

}  // namespace oxatest
