#include "server/win32/window_win.h"

namespace korrin {

Window::~Window() {
    if (!hwnd_) return;
    SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
}

bool Window::create(const WindowClass& cls, const WindowShape& shape) {
    HINSTANCE inst = GetModuleHandleA(nullptr);
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = thunk;
    wc.hInstance = inst;
    wc.hIcon = cls.icon;
    wc.hIconSm = cls.smallIcon;
    wc.hCursor = cls.cursor;
    wc.hbrBackground = cls.background;
    wc.lpszClassName = cls.name;
    if (!RegisterClassExA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;
    return CreateWindowExA(shape.exStyle, cls.name, shape.title, shape.style, shape.x, shape.y,
                           shape.width, shape.height, shape.parent, shape.menu, inst,
                           this) != nullptr;
}

void Window::destroy() {
    if (hwnd_) DestroyWindow(hwnd_);
}

LRESULT Window::onMessage(UINT msg, WPARAM wp, LPARAM lp) {
    return DefWindowProcA(hwnd_, msg, wp, lp);
}

LRESULT CALLBACK Window::thunk(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* bound = static_cast<Window*>(reinterpret_cast<CREATESTRUCTA*>(lp)->lpCreateParams);
        bound->hwnd_ = hwnd;
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(bound));
    }
    auto* self = reinterpret_cast<Window*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        if (self) self->hwnd_ = nullptr;
        self = nullptr;
    }
    if (!self) return DefWindowProcA(hwnd, msg, wp, lp);
    try {
        return self->onMessage(msg, wp, lp);
    } catch (...) {
        // An exception cannot unwind through user32 frames: the message is lost, the
        // program goes on.
        return msg == WM_NCCREATE ? FALSE : 0;
    }
}

}  // namespace korrin
