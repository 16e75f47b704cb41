// Calling oxasoft.dll as its callers do: the DLL is loaded by name, every export is looked up
// with GetProcAddress and called with raw machine-word arguments. In a 32-bit process each call
// is checked to have removed exactly its arguments from the stack (stdcall, 4 bytes per
// parameter); x64 has one convention, in which the caller removes them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace oxatest {

HMODULE oxasoft_module();

// An argument or result as it crosses the boundary: a pointer, a handle, or an integer in the
// low 32 bits.
using Word = std::uintptr_t;

// Calls export `name` with `count` (at most 6) word arguments; reports a test failure when the
// name is missing or, in a 32-bit process, the stack is unbalanced afterwards. Returns the
// whole result register.
Word call_words(const char* name, const Word* words, int count);

template <class T>
Word to_word(T v) {
    if constexpr (std::is_null_pointer_v<T>) {
        return 0;
    } else if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<Word>(v);
    } else {
        return static_cast<Word>(v);
    }
}

// An export with a long result: its 32 bits (the rest of a 64-bit result register is undefined).
template <class... Args>
std::uint32_t call(const char* name, Args... args) {
    const Word words[] = {to_word(args)..., 0};
    return static_cast<std::uint32_t>(call_words(name, words, static_cast<int>(sizeof...(Args))));
}

// A byte string to pass in; the export takes ownership of it.
BSTR byte_string(std::string_view bytes);

// Takes a string result: its bytes, after checking that an empty result is a null handle,
// and frees it. So "" also means the export returned a null handle.
std::string take_result(Word handle);

// An export with a string result.
template <class... Args>
std::string call_string(const char* name, Args... args) {
    const Word words[] = {to_word(args)..., 0};
    return take_result(call_words(name, words, static_cast<int>(sizeof...(Args))));
}

}  // namespace oxatest
