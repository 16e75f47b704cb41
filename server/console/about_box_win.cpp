#include "server/console/about_box_win.h"

#include "common/win32_handles.h"
#include "server/console/control_ids.h"
#include "server/console/modal_win.h"
#include "server/console/twips_win.h"
#include "server/console/version_info.h"

namespace korrin {

namespace {

constexpr char kTitle[] = "Korrin Server";

class AboutBox final : public Window {
  public:
    explicit AboutBox(const std::function<void()>& toggle) : toggle_(toggle) {}
    bool done = false;

  private:
    LRESULT onMessage(UINT msg, WPARAM wp, LPARAM lp) override {
        switch (msg) {
            case WM_COMMAND:
                if (LOWORD(wp) == ids::kAboutCommand1 || LOWORD(wp) == IDCANCEL) {
                    done = true;
                    return 0;
                }
                if (LOWORD(wp) == ids::kAboutPicture1 && HIWORD(wp) == STN_CLICKED) {
                    if (toggle_) toggle_();
                    return 0;
                }
                break;
            case WM_CLOSE:
                done = true;
                return 0;
        }
        return Window::onMessage(msg, wp, lp);
    }
    const std::function<void()>& toggle_;
};

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
    const Twips tw;
    AboutBox about(togglePicture);
    if (!about.create(boxClass(ids::kForm2Class),
                      boxShape(owner, kTitle, WS_POPUP | WS_CAPTION | WS_SYSMENU, tw.x(100),
                               tw.y(100), tw.x(6000), tw.y(2595))))
        return;
    HWND box = about.hwnd();
    HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    auto child = [&](const char* cls, const std::string& text, DWORD s, int id, int x, int y, int w,
                     int h) {
        HWND c = CreateWindowExA(0, cls, text.c_str(), WS_CHILD | WS_VISIBLE | s, tw.x(x), tw.y(y),
                                 tw.x(w), tw.y(h), box, reinterpret_cast<HMENU>(INT_PTR(id)), inst,
                                 nullptr);
        SendMessageA(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        return c;
    };
    // Labels are sized to their text.
    auto label = [&](int id, const std::string& text, int x, int y) {
        HWND c = child("STATIC", text, SS_LEFT | SS_NOPREFIX, id, x, y, 480, 195);
        SIZE sz = {};
        if (oxa::UniqueWindowDc dc = oxa::getWindowDc(nullptr)) {
            HGDIOBJ old = SelectObject(dc.get().dc, font);
            GetTextExtentPoint32A(dc.get().dc, text.c_str(), static_cast<int>(text.size()), &sz);
            SelectObject(dc.get().dc, old);
        }
        SetWindowPos(c, nullptr, 0, 0, sz.cx, tw.y(195), SWP_NOMOVE | SWP_NOZORDER);
    };
    const VersionInfo v = ownVersion();
    HWND picture =
        child("STATIC", "", SS_ICON | SS_NOTIFY, ids::kAboutPicture1, 390, 450, 480, 480);
    SendMessageA(picture, STM_SETICON,
                 reinterpret_cast<WPARAM>(LoadIconA(inst, MAKEINTRESOURCEA(1))), 0);
    label(ids::kAboutLabel1, kTitle, 1290, 540);
    label(ids::kAboutLabel2, versionText(v), 1290, 870);
    child("STATIC", "", SS_ETCHEDHORZ, ids::kAboutFrame1, -150, 1590, 6285, 135);
    HWND close = child("BUTTON", closeCaption, WS_TABSTOP | BS_PUSHBUTTON, ids::kAboutCommand1,
                       4320, 2010, 1575, 465);
    label(ids::kAboutLabel3, v.comments + " " + v.companyName, 180, 2160);
    runModal(box, owner, about.done, close);
}

}  // namespace korrin
