// Loads oxasoft.dll by name and calls its exports, with a stack check in 32-bit processes.
#include "tests/oxasoft/export_call.h"

#include <gtest/gtest.h>

#include <algorithm>

#ifndef _WIN64
// cdecl: oxa_probe_call(fn, words, count, &removed) pushes words[count-1] .. words[0], calls fn
// and stores how many bytes fn removed from the stack; the caller's stack is restored from the
// frame pointer, so a wrong count cannot corrupt the test itself.
extern "C" std::uint32_t oxa_probe_call(FARPROC fn, const std::uint32_t* words, int count,
                                        std::int32_t* removed);
asm(R"(
    .text
    .globl _oxa_probe_call
_oxa_probe_call:
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl  12(%ebp), %esi
    movl  16(%ebp), %ecx
1:  testl %ecx, %ecx
    jz    2f
    decl  %ecx
    pushl (%esi,%ecx,4)
    jmp   1b
2:  movl  %esp, %edi
    call  *8(%ebp)
    movl  %esp, %ecx
    subl  %edi, %ecx
    movl  20(%ebp), %edx
    movl  %ecx, (%edx)
    leal  -12(%ebp), %esp
    popl  %edi
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret
)");
#endif

namespace oxatest {

HMODULE oxasoft_module() {
    static HMODULE module = LoadLibraryA("oxasoft.dll");
    return module;
}

Word call_words(const char* name, const Word* words, int count) {
    HMODULE module = oxasoft_module();
    if (!module) {
        ADD_FAILURE() << "oxasoft.dll cannot be loaded, error " << GetLastError();
        return 0;
    }
    FARPROC fn = GetProcAddress(module, name);
    if (!fn) {
        ADD_FAILURE() << name << " is not exported";
        return 0;
    }
#ifdef _WIN64
    // The caller owns the stack and the callee reads only its own parameters, so one
    // six-argument type calls every export.
    using AnyExport = Word (*)(Word, Word, Word, Word, Word, Word);
    Word w[6] = {};
    if (count > 6) {
        ADD_FAILURE() << name << ": more than 6 arguments";
        return 0;
    }
    std::copy(words, words + count, w);
    const auto export_fn = reinterpret_cast<AnyExport>(reinterpret_cast<void (*)()>(fn));
    return export_fn(w[0], w[1], w[2], w[3], w[4], w[5]);
#else
    std::int32_t removed = -1;
    const Word result = oxa_probe_call(fn, words, count, &removed);
    EXPECT_EQ(removed, 4 * count) << name << " left the stack unbalanced";
    return result;
#endif
}

BSTR byte_string(std::string_view bytes) {
    return SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
}

std::string take_result(Word handle) {
    BSTR b = reinterpret_cast<BSTR>(handle);
    if (!b) return {};
    const UINT n = SysStringByteLen(b);
    EXPECT_NE(n, 0u) << "an empty result must be a null handle";
    std::string bytes(reinterpret_cast<const char*>(b), n);
    EXPECT_EQ(reinterpret_cast<const char*>(b)[n], '\0') << "a result is NUL-terminated";
    SysFreeString(b);
    return bytes;
}

}  // namespace oxatest
