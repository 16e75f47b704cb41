// Child program of the system tests: loads oxasoft.dll by name and reports what the queries
// that depend on the process's start-up settings (Windows version, audio driver) give, or
// writes debugger lines. Its output is one line per query, each value in brackets.
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

FARPROC export_of(const char* name) {
    FARPROC fn = GetProcAddress(g_dll, name);
    if (!fn) {
        std::printf("missing %s\n", name);
        ExitProcess(3);
    }
    return fn;
}

void print(const char* label, BSTR text) {
    std::printf("%s=[%.*s]\n", label, text ? static_cast<int>(SysStringByteLen(text)) : 0,
                text ? reinterpret_cast<const char*>(text) : "");
    SysFreeString(text);
}

}  // namespace

int main(int argc, char** argv) {
    g_dll = LoadLibraryA("oxasoft.dll");
    if (!g_dll || argc < 2) return 2;
    if (!std::strcmp(argv[1], "version")) {
        print("version", reinterpret_cast<StringFn>(export_of("GET_WIN_VERSION"))());
    } else if (!std::strcmp(argv[1], "audio")) {
        std::printf("counts=[%ld %ld %ld]\n",
                    reinterpret_cast<CountFn>(export_of("GET_MIXERCOUNT"))(),
                    reinterpret_cast<CountFn>(export_of("GET_NUM_WAVE_OUT"))(),
                    reinterpret_cast<CountFn>(export_of("GET_NUM_WAVE_IN"))());
        const short first = 0;
        print("mixer0", reinterpret_cast<IndexFn>(export_of("GET_MIXERNAME"))(0));
        print("out0", reinterpret_cast<IndexRefFn>(export_of("GET_WAVE_OUT_DEV"))(&first));
        print("in0", reinterpret_cast<IndexRefFn>(export_of("GET_WAVE_IN_DEV"))(&first));
    } else if (!std::strcmp(argv[1], "debug")) {
        const auto debug_print = reinterpret_cast<DebugFn>(export_of("DEBUG_PRINT"));
        std::printf("results=[%ld %ld]\n", debug_print("  ready "), debug_print(""));
    } else {
        return 2;
    }
    std::fflush(stdout);
    return 0;
}
