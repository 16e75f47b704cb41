// The Win32 handle kinds both deliverables own, one trait each, for oxa::UniqueHandle.
#pragma once

#include <windows.h>

#include "common/unique_handle.h"

namespace oxa {

struct HkeyTraits {
    using type = HKEY;
    static type invalid() { return nullptr; }
    static void close(type k) { RegCloseKey(k); }
};
using UniqueHkey = UniqueHandle<HkeyTraits>;

// Kernel objects whose failure value is null: mutexes, processes, threads, events.
struct KernelHandleTraits {
    using type = HANDLE;
    static type invalid() { return nullptr; }
    static void close(type h) { CloseHandle(h); }
};
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;

// Files, whose failure value is INVALID_HANDLE_VALUE.
struct FileTraits {
    using type = HANDLE;
    static type invalid() { return INVALID_HANDLE_VALUE; }
    static void close(type h) { CloseHandle(h); }
};
using UniqueFile = UniqueHandle<FileTraits>;

struct FontTraits {
    using type = HFONT;
    static type invalid() { return nullptr; }
    static void close(type f) { DeleteObject(f); }
};
using UniqueFont = UniqueHandle<FontTraits>;

// A device context got with GetDC, released to the window it came from (null: the screen).
struct WindowDc {
    HWND window = nullptr;
    HDC dc = nullptr;
    bool operator!=(const WindowDc& o) const { return window != o.window || dc != o.dc; }
};
struct WindowDcTraits {
    using type = WindowDc;
    static type invalid() { return {}; }
    static void close(type d) { ReleaseDC(d.window, d.dc); }
};
using UniqueWindowDc = UniqueHandle<WindowDcTraits>;

inline UniqueWindowDc getWindowDc(HWND window) {
    HDC dc = GetDC(window);
    return dc ? UniqueWindowDc(WindowDc{window, dc}) : UniqueWindowDc();
}

}  // namespace oxa
