// Modal loop for our own dialogs: the owner is disabled while the box is open, and every
// other message of the thread (sockets, timers) keeps being dispatched.
#pragma once

#include <windows.h>

#include <functional>

namespace korrin {

// Runs before every message that the program's loops dispatch: the pacing timer's due tick
// goes first, however many socket messages wait in the queue.
inline std::function<void()>& beforeDispatch() {
    static std::function<void()> hook;
    return hook;
}

inline void runModal(HWND box, HWND owner, const bool& done, HWND focus = nullptr) {
    EnableWindow(owner, FALSE);
    ShowWindow(box, SW_SHOW);
    UpdateWindow(box);
    if (focus) SetFocus(focus);
    MSG m = {};
    bool quit = false;
    while (!done) {
        if (GetMessageA(&m, nullptr, 0, 0) <= 0) {
            quit = true;
            break;
        }
        if (beforeDispatch()) beforeDispatch()();
        if (!IsDialogMessageA(box, &m)) {
            TranslateMessage(&m);
            DispatchMessageA(&m);
        }
    }
    EnableWindow(owner, TRUE);
    SetActiveWindow(owner);
    if (quit) PostQuitMessage(static_cast<int>(m.wParam));
}

// A window class for our boxes: dialog background, arrow cursor. A second call does nothing.
inline void registerBoxClass(const char* name, WNDPROC proc) {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = name;
    RegisterClassA(&wc);
}

// Binds a state object to a window at WM_NCCREATE and finds it again for later messages.
template <typename T>
T* boundState(HWND hwnd, UINT msg, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTA*>(lp);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto* st = reinterpret_cast<T*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (msg == WM_NCDESTROY) SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    return st;
}

}  // namespace korrin
