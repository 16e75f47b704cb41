// Our own windows, each bound to the object that handles its messages through one thunk:
// bound at WM_NCCREATE, cleared at WM_NCDESTROY, and nothing escapes into user32.
#pragma once

#include <windows.h>

namespace korrin {

// A window class; registering it a second time does nothing.
struct WindowClass {
    const char* name;
    HICON icon = nullptr;
    HICON smallIcon = nullptr;
    HCURSOR cursor = nullptr;
    HBRUSH background = nullptr;
};

// What CreateWindowExA takes besides the class; the defaults make a message-only window.
struct WindowShape {
    const char* title = "";
    DWORD style = 0;
    DWORD exStyle = 0;
    int x = 0, y = 0, width = 0, height = 0;
    HWND parent = HWND_MESSAGE;
    HMENU menu = nullptr;
};

class Window {
  public:
    Window() = default;
    // Unbinds first: a derived part already gone must not get the messages of the destruction.
    virtual ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    HWND hwnd() const { return hwnd_; }
    // Creates the window bound to this object; false when it could not be made.
    bool create(const WindowClass& cls, const WindowShape& shape);
    bool createMessageOnly(const char* className) { return create({className}, {}); }
    // Destroys the window while still bound, so that it sees WM_DESTROY.
    void destroy();

  protected:
    // A message of the window; what a handler does not take goes here (DefWindowProcA).
    virtual LRESULT onMessage(UINT msg, WPARAM wp, LPARAM lp);

  private:
    static LRESULT CALLBACK thunk(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    HWND hwnd_ = nullptr;
};

}  // namespace korrin
