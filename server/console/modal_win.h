// Modal loop for our own dialogs: the owner is disabled while the box is open, and every
// other message of the thread (sockets, timers) keeps being dispatched.
#pragma once

#include <windows.h>

#include <functional>

#include "server/win32/window_win.h"

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

// The window class of our boxes: dialog background, arrow cursor.
inline WindowClass boxClass(const char* name) {
    WindowClass cls{name};
    cls.cursor = LoadCursor(nullptr, IDC_ARROW);
    cls.background = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    return cls;
}

// A modal box placed relative to its owner, sized to a client area in pixels.
inline WindowShape boxShape(HWND owner, const char* title, DWORD style, int dx, int dy,
                            int clientWidth, int clientHeight) {
    WindowShape shape;
    shape.title = title;
    shape.style = style;
    shape.exStyle = WS_EX_DLGMODALFRAME;
    RECT r = {0, 0, clientWidth, clientHeight};
    AdjustWindowRectEx(&r, style, FALSE, shape.exStyle);
    RECT o = {};
    GetWindowRect(owner, &o);
    shape.x = o.left + dx;
    shape.y = o.top + dy;
    shape.width = r.right - r.left;
    shape.height = r.bottom - r.top;
    shape.parent = owner;  // owned: no task bar entry of its own
    return shape;
}

}  // namespace korrin
