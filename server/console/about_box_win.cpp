#include "about_box_win.h"

#include "control_ids.h"
#include "modal_win.h"
#include "twips_win.h"
#include "version_info.h"

namespace korrin {

namespace {

constexpr char kTitle[] = "Korrin Server";

struct State {
    bool done = false;
    std::function<void()> toggle;
};

LRESULT CALLBACK proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    State* st = boundState<State>(hwnd, msg, lp);
    if (!st) return DefWindowProcA(hwnd, msg, wp, lp);
    try {
        switch (msg) {
        case WM_COMMAND:
            if (LOWORD(wp) == ids::kAboutCommand1 || LOWORD(wp) == IDCANCEL) {
                st->done = true;
                return 0;
            }
            if (LOWORD(wp) == ids::kAboutPicture1 && HIWORD(wp) == STN_CLICKED) {
                if (st->toggle) st->toggle();
                return 0;
            }
            break;
        case WM_CLOSE:
            st->done = true;
            return 0;
        }
    } catch (...) {
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

// The program's own version resource, read without the version library.
VersionInfo ownVersion() {
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC res = FindResourceA(self, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16));  // RT_VERSION
    if (!res) return {};
    HGLOBAL data = LoadResource(self, res);
    const char* bytes = data ? static_cast<const char*>(LockResource(data)) : nullptr;
    if (!bytes) return {};
    return parseVersionResource(std::string_view(bytes, SizeofResource(self, res)))
        .value_or(VersionInfo{});
}

}  // namespace

void showAboutBox(HWND owner, const std::string& closeCaption,
                  const std::function<void()>& togglePicture) {
    HINSTANCE inst = GetModuleHandleA(nullptr);
    registerBoxClass(ids::kForm2Class, proc);

    const Twips tw;
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU;
    RECT r = {0, 0, tw.x(6000), tw.y(2595)};
    AdjustWindowRectEx(&r, style, FALSE, WS_EX_DLGMODALFRAME);
    RECT o = {};
    GetWindowRect(owner, &o);
    State st;
    st.toggle = togglePicture;
    // Owned by the main window, so it has no task bar entry of its own.
    HWND box = CreateWindowExA(WS_EX_DLGMODALFRAME, ids::kForm2Class, kTitle, style,
                               o.left + tw.x(100), o.top + tw.y(100), r.right - r.left,
                               r.bottom - r.top, owner, nullptr, inst, &st);
    if (!box) return;
    HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    auto child = [&](const char* cls, const std::string& text, DWORD s, int id, int x, int y,
                     int w, int h) {
        HWND c = CreateWindowExA(0, cls, text.c_str(), WS_CHILD | WS_VISIBLE | s, tw.x(x),
                                 tw.y(y), tw.x(w), tw.y(h), box,
                                 reinterpret_cast<HMENU>(INT_PTR(id)), inst, nullptr);
        SendMessageA(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        return c;
    };
    // Labels are sized to their text.
    auto label = [&](int id, const std::string& text, int x, int y) {
        HWND c = child("STATIC", text, SS_LEFT | SS_NOPREFIX, id, x, y, 480, 195);
        HDC dc = GetDC(nullptr);
        HGDIOBJ old = SelectObject(dc, font);
        SIZE sz = {};
        GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &sz);
        SelectObject(dc, old);
        ReleaseDC(nullptr, dc);
        SetWindowPos(c, nullptr, 0, 0, sz.cx, tw.y(195), SWP_NOMOVE | SWP_NOZORDER);
    };
    const VersionInfo v = ownVersion();
    HWND picture = child("STATIC", "", SS_ICON | SS_NOTIFY, ids::kAboutPicture1, 390, 450, 480, 480);
    SendMessageA(picture, STM_SETICON,
                 reinterpret_cast<WPARAM>(LoadIconA(inst, MAKEINTRESOURCEA(1))), 0);
    label(ids::kAboutLabel1, kTitle, 1290, 540);
    label(ids::kAboutLabel2, versionText(v), 1290, 870);
    child("STATIC", "", SS_ETCHEDHORZ, ids::kAboutFrame1, -150, 1590, 6285, 135);
    HWND close = child("BUTTON", closeCaption, WS_TABSTOP | BS_PUSHBUTTON, ids::kAboutCommand1,
                       4320, 2010, 1575, 465);
    label(ids::kAboutLabel3, v.comments + " " + v.companyName, 180, 2160);
    runModal(box, owner, st.done, close);
    DestroyWindow(box);
}

}  // namespace korrin
