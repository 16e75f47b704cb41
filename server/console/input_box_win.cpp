// The input box runs its own message loop, so socket and timer messages of the owner's thread
// keep being dispatched while it is open.
#include "server/console/input_box_win.h"

#include "server/console/control_ids.h"
#include "server/console/modal_win.h"
#include "server/console/twips_win.h"

namespace korrin {

namespace {

constexpr char kClass[] = "KorrinInputBox";

class Box final : public Window {
  public:
    HWND edit = nullptr;
    bool done = false;
    std::optional<std::string> answer;

  private:
    LRESULT onMessage(UINT msg, WPARAM wp, LPARAM lp) override {
        switch (msg) {
            case WM_COMMAND:
                if (LOWORD(wp) == IDOK) {
                    int n = GetWindowTextLengthA(edit);
                    std::string text(static_cast<size_t>(n) + 1, '\0');
                    GetWindowTextA(edit, &text[0], n + 1);
                    text.resize(static_cast<size_t>(n));
                    answer = text;
                    done = true;
                    return 0;
                }
                if (LOWORD(wp) == IDCANCEL) {
                    done = true;
                    return 0;
                }
                break;
            case WM_CLOSE:
                done = true;
                return 0;
        }
        return Window::onMessage(msg, wp, lp);
    }
};

}  // namespace

std::optional<std::string> InputBox(HWND owner, const std::string& prompt, const std::string& title,
                                    const std::string& preset) {
    HINSTANCE inst = GetModuleHandleA(nullptr);
    const Twips tw;
    Box st;
    if (!st.create(boxClass(kClass), boxShape(owner, title.c_str(),
                                              WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME,
                                              tw.x(300), tw.y(600), tw.x(6150), tw.y(1800))))
        return std::nullopt;
    HWND box = st.hwnd();
    HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    auto child = [&](const char* cls, const char* text, DWORD s, int id, int x, int y, int w, int h,
                     DWORD ex = 0) {
        HWND c =
            CreateWindowExA(ex, cls, text, WS_CHILD | WS_VISIBLE | s, tw.x(x), tw.y(y), tw.x(w),
                            tw.y(h), box, reinterpret_cast<HMENU>(INT_PTR(id)), inst, nullptr);
        SendMessageA(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        return c;
    };
    child("STATIC", prompt.c_str(), SS_LEFT, ids::kInputPrompt, 120, 120, 4600, 1000);
    child("BUTTON", "OK", WS_TABSTOP | BS_DEFPUSHBUTTON, IDOK, 4900, 120, 1100, 350);
    child("BUTTON", "Cancel", WS_TABSTOP, IDCANCEL, 4900, 540, 1100, 350);
    st.edit = child("EDIT", preset.c_str(), WS_TABSTOP | ES_AUTOHSCROLL, ids::kInputEdit, 120, 1320,
                    5880, 330, WS_EX_CLIENTEDGE);
    SendMessageA(st.edit, EM_SETSEL, 0, -1);

    runModal(box, owner, st.done, st.edit);
    return st.answer;
}

}  // namespace korrin
