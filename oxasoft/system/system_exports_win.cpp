// Exports of the system and device queries: one platform call each plus the result rule of
// the portable functions.
#include <windows.h>
// after windows.h
#include <mmsystem.h>
#include <shellapi.h>

#include <cstring>
#include <string>
#include <string_view>

#include "oxasoft/frame/boundary_win.h"
#include "oxasoft/frame/fixed_buffer.h"
#include "oxasoft/frame/oxasoft.h"
#include "oxasoft/system/text_rules.h"
#include "oxasoft/system/win_version.h"

using namespace oxa;

namespace {

// The record sizes callers of the original platform functions rely on. They hold no pointers,
// so they are the same in 32- and 64-bit processes.
static_assert(sizeof(OSVERSIONINFOA) == 148, "version record without the NT extension");
static_assert(sizeof(MIXERCAPSA) == 48 && sizeof(WAVEOUTCAPSA) == 52 && sizeof(WAVEINCAPSA) == 48,
              "device records");

// A product name of a device record: up to its first NUL, at most 31 characters, never read
// past the 32-byte field.
std::string product_name(const char (&name)[MAXPNAMELEN]) {
    return std::string(name, strnlen(name, MAXPNAMELEN - 1));
}

// 32-bit index as the multimedia functions take it; -1 keeps all its 32 bits set. On x64 it is
// widened with zeros, as a caller's WAVE_MAPPER ((UINT)-1) reaches these functions.
UINT_PTR device_id(long index) {
    return static_cast<UINT_PTR>(static_cast<UINT>(index));
}

}  // namespace

extern "C" {

OXA_BSTR OXA_CALL GET_WIN_VERSION(void) {
    return string_export([]() -> std::string {
        OSVERSIONINFOA info;
        std::memset(&info, 0, sizeof info);
        info.dwOSVersionInfoSize = sizeof info;
        if (!GetVersionExA(&info)) return {};
        const std::string_view service_pack(info.szCSDVersion,
                                            strnlen(info.szCSDVersion, sizeof info.szCSDVersion));
        return system::win_version_name(info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion,
                                        service_pack);
    });
}

long OXA_CALL GET_MIXERCOUNT(void) {
    return static_cast<long>(mixerGetNumDevs());
}

OXA_BSTR OXA_CALL GET_MIXERNAME(long index) {
    return string_export([&] {
        MIXERCAPSA caps;
        std::memset(&caps, 0, sizeof caps);
        mixerGetDevCapsA(device_id(index), &caps, sizeof caps);
        return product_name(caps.szPname);
    });
}

long OXA_CALL GET_NUM_WAVE_OUT(void) {
    return static_cast<long>(waveOutGetNumDevs());
}

OXA_BSTR OXA_CALL GET_WAVE_OUT_DEV(const short* index) {
    return string_export([&] {
        WAVEOUTCAPSA caps;
        std::memset(&caps, 0, sizeof caps);
        waveOutGetDevCapsA(device_id(read_int(index)), &caps, sizeof caps);
        return product_name(caps.szPname);
    });
}

long OXA_CALL GET_NUM_WAVE_IN(void) {
    return static_cast<long>(waveInGetNumDevs());
}

OXA_BSTR OXA_CALL GET_WAVE_IN_DEV(const short* index) {
    return string_export([&] {
        WAVEINCAPSA caps;
        std::memset(&caps, 0, sizeof caps);
        waveInGetDevCapsA(device_id(read_int(index)), &caps, sizeof caps);
        return product_name(caps.szPname);
    });
}

long OXA_CALL DEBUG_PRINT(const char* text) {
    return guarded(1L, [&] {
        OutputDebugStringA(system::debug_line(read_text(text)).c_str());
        return 1L;
    });
}

OXA_BSTR OXA_CALL REPLACE_ASCII(const char* text, const char* find, const char* replacement) {
    return string_export([&] {
        return system::replace_ascii(read_text(text), read_text(find), read_text(replacement));
    });
}

void OXA_CALL FORMONTOP(const long* window, const short* flag) {
    constexpr UINT kKeepPlaceAndShow = SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW;
    const HWND hwnd = handle_from_long<HWND>(read_long(window));
    // Topmost first: a window made not topmost then ends at the top of the others.
    SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 0, 0, kKeepPlaceAndShow);
    if (read_int(flag) != 1) SetWindowPos(hwnd, HWND_NOTOPMOST, 0, 0, 0, 0, kKeepPlaceAndShow);
}

OXA_BSTR OXA_CALL FIND_EXE_TO_OPEN(const char* file) {
    return string_export([&] {
        FixedBuffer<MAX_PATH> program;
        program.fill(' ');  // untouched by a failing lookup: trims to the empty result
        FindExecutableA(file, nullptr, program.data());
        return std::string(system::trim_blanks(program.text()));
    });
}

}  // extern "C"
