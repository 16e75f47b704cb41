// Loads oxasoft.dll by name and calls its exports with a stack check.
#include "export_call.h"

#include <gtest/gtest.h>

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

namespace oxatest {

HMODULE oxasoft_module() {
    static HMODULE module = LoadLibraryA("oxasoft.dll");
    return module;
}

std::uint32_t call_words(const char* name, const std::uint32_t* words, int count) {
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
    std::int32_t removed = -1;
    const std::uint32_t result = oxa_probe_call(fn, words, count, &removed);
    EXPECT_EQ(removed, 4 * count) << name << " left the stack unbalanced";
    return result;
}

BSTR byte_string(std::string_view bytes) {
    return SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
}

std::string take_result(std::uint32_t handle) {
    BSTR b = reinterpret_cast<BSTR>(static_cast<std::uintptr_t>(handle));
    if (!b) return {};
    const UINT n = SysStringByteLen(b);
    EXPECT_NE(n, 0u) << "an empty result must be a null handle";
    std::string bytes(reinterpret_cast<const char*>(b), n);
    EXPECT_EQ(reinterpret_cast<const char*>(b)[n], '\0') << "a result is NUL-terminated";
    SysFreeString(b);
    return bytes;
}

}  // namespace oxatest
