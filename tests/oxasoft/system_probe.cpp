// Child program of the system tests: loads oxasoft.dll by name and reports what the queries
// that depend on the process's start-up settings (Windows version, audio driver) give, or
// writes debugger lines. Its output is one line per query, each value in brackets.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

using StringFn = BSTR(WINAPI*)();
using CountFn = long(WINAPI*)();
using IndexFn = BSTR(WINAPI*)(long);
using IndexRefFn = BSTR(WINAPI*)(const short*);
using DebugFn = long(WINAPI*)(const char*);

HMODULE g_dll;

template <class Fn>
Fn export_of(const char* name) {
    FARPROC fn = GetProcAddress(g_dll, name);
    if (!fn) {
        std::printf("missing %s\n", name);
        ExitProcess(3);
    }
    // Through a generic function pointer type: the cast then says what the caller means.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(fn));
}

void print(const char* label, BSTR text) {
    std::printf("%s=[%.*s]\n", label, text ? static_cast<int>(SysStringByteLen(text)) : 0,
                text ? reinterpret_cast<const char*>(text) : "");
    SysFreeString(text);
}

}  // namespace

int main(int argc, char** argv) {
    _setmode(_fileno(stdout), _O_BINARY);  // lines end in LF only, as the parent expects
    g_dll = LoadLibraryA("oxasoft.dll");
    if (!g_dll || argc < 2) return 2;
    if (!std::strcmp(argv[1], "version")) {
        print("version", export_of<StringFn>("GET_WIN_VERSION")());
    } else if (!std::strcmp(argv[1], "audio")) {
        std::printf("counts=[%ld %ld %ld]\n", export_of<CountFn>("GET_MIXERCOUNT")(),
                    export_of<CountFn>("GET_NUM_WAVE_OUT")(),
                    export_of<CountFn>("GET_NUM_WAVE_IN")());
        const short first = 0;
        print("mixer0", export_of<IndexFn>("GET_MIXERNAME")(0));
        print("out0", export_of<IndexRefFn>("GET_WAVE_OUT_DEV")(&first));
        print("in0", export_of<IndexRefFn>("GET_WAVE_IN_DEV")(&first));
    } else if (!std::strcmp(argv[1], "debug")) {
        const auto debug_print = export_of<DebugFn>("DEBUG_PRINT");
        const long first = debug_print("  ready ");
        const long second = debug_print("");
        std::printf("results=[%ld %ld]\n", first, second);
    } else {
        return 2;
    }
    std::fflush(stdout);
    return 0;
}
