// Form1: the operator window of the relay.
#include "server/console/form1_win.h"

#include <commctrl.h>

#include <algorithm>

#include "common/win32_handles.h"
#include "server/console/about_box_win.h"
#include "server/console/control_ids.h"
#include "server/console/input_box_win.h"
#include "server/console/modal_win.h"
#include "server/console/test_mode.h"
#include "server/console/twips_win.h"
#include "server/service/service_win.h"

namespace korrin {

namespace {

constexpr UINT kMsgTimer1 = WM_APP + 1;  // the test mode's timer
constexpr UINT kMsgSync = WM_APP + 2;
constexpr int kTimer1Ms = 100;
constexpr char kTitle[] = "Korrin Server";

// Design rectangles in twips: left, top, width, height.
struct Rect {
    int id;
    const char* cls;
    const char* text;
    DWORD style;
    int x, y, w, h;
};
constexpr Rect kControls[] = {
    {ids::kLabel1, "STATIC", "Label1", SS_LEFT | SS_NOPREFIX, 210, 210, 480, 195},
    {ids::kCommand2, "BUTTON", "Testmodus", BS_PUSHBUTTON, 4020, 120, 1365, 345},
    {ids::kList3, "LISTBOX", "", LBS_NOTIFY | WS_VSCROLL | WS_BORDER, 180, 480, 5925, 3180},
    {ids::kList1, "LISTBOX", "", LBS_NOTIFY | WS_VSCROLL | WS_BORDER, 150, 4230, 2625, 1620},
    {ids::kList2, "LISTBOX", "", LBS_NOTIFY | WS_VSCROLL | WS_BORDER | LBS_NOINTEGRALHEIGHT, 2820,
     4230, 3255, 1620},
    {ids::kLabel2, "STATIC", "", SS_LEFT | SS_NOPREFIX, 150, 5940, 2445, 195},
    {ids::kLabel3, "STATIC", "", SS_LEFT | SS_NOPREFIX, 2850, 5940, 645, 195},
    {ids::kLabel4, "STATIC", "", SS_LEFT | SS_NOPREFIX, 4470, 5940, 645, 195},
    // In the row of Label1, clear of the controls an operator sees; hidden until needed.
    {ids::kPausedNotice, "STATIC", "", SS_LEFT | SS_NOPREFIX, 2400, 210, 3600, 195},
};
constexpr char kPausedText[] = "Queue full: reading from senders paused";
constexpr char kServiceHoldsPorts[] =
    "Korrin Server runs as a Windows service on this computer and holds the ports.\n"
    "Stop the service (net stop KorrinServer) to serve them from this window.";
constexpr int kFormLeft = 3525, kFormTop = 2640, kClientWidth = 6195, kClientHeight = 4050;
constexpr int kCompactHeight = 4860, kExpandedHeight = 7230, kViewThreshold = 5000;

}  // namespace

Form1::Form1(std::string langFile, std::string langSection)
    : langFile_(std::move(langFile)), langSection_(std::move(langSection)) {}

Form1::~Form1() {
    beforeDispatch() = nullptr;
    // The window goes while this object can still take its last messages; then the relay.
    destroy();
    timer1_.reset();
    wiring_.reset();
}

bool Form1::show() {
    HINSTANCE inst = GetModuleHandleA(nullptr);
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);
    WindowClass cls{ids::kForm1Class};
    cls.icon = LoadIconA(inst, MAKEINTRESOURCEA(1));
    cls.smallIcon = static_cast<HICON>(LoadImageA(inst, MAKEINTRESOURCEA(1), IMAGE_ICON,
                                                  GetSystemMetrics(SM_CXSMICON),
                                                  GetSystemMetrics(SM_CYSMICON), 0));
    cls.cursor = LoadCursor(nullptr, IDC_ARROW);
    cls.background = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);

    createMenus();
    const Twips tw;
    WindowShape shape;
    shape.title = "Form1";
    shape.style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    RECT r = {0, 0, tw.x(kClientWidth), tw.y(kClientHeight)};
    AdjustWindowRectEx(&r, shape.style, TRUE, 0);
    shape.x = tw.x(kFormLeft);
    shape.y = tw.y(kFormTop);
    shape.width = r.right - r.left;
    shape.height = r.bottom - r.top;
    shape.parent = nullptr;
    shape.menu = menuBar_;
    if (!create(cls, shape)) return false;
    createControls();
    wiring_ = std::make_unique<RelayWiring>(HKEY_CURRENT_USER, programDirectory() + "IpError.txt",
                                            *this, UnattendedRelay::RelayPorts::LeftToTheOperator);
    timer1_ = std::make_unique<PostedTimer>(hwnd(), kMsgTimer1, 0);
    timer1_->setInterval(kTimer1Ms);
    beforeDispatch() = [this] { runDueTicks(); };
    onLoad();
    ShowWindow(hwnd(), SW_SHOWNORMAL);
    UpdateWindow(hwnd());
    return true;
}

void Form1::createMenus() {
    menuBar_ = CreateMenu();
    mSub1_ = CreatePopupMenu();
    AppendMenuA(mSub1_, MF_STRING, ids::kMenuSetup, "Setup");
    AppendMenuA(mSub1_, MF_SEPARATOR, 0, "-");
    AppendMenuA(mSub1_, MF_STRING, ids::kMenuEnd, "End");
    mSub2_ = CreatePopupMenu();
    AppendMenuA(mSub2_, MF_STRING, ids::kMenuAbout, "ueber");
    AppendMenuA(menuBar_, MF_POPUP, reinterpret_cast<UINT_PTR>(mSub1_), "Menu1");
    AppendMenuA(menuBar_, MF_POPUP, reinterpret_cast<UINT_PTR>(mSub2_), "?");
}

void Form1::createControls() {
    HINSTANCE inst = GetModuleHandleA(nullptr);
    const Twips tw;
    NONCLIENTMETRICSA ncm = {};
    ncm.cbSize = sizeof ncm;
    if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0))
        font_.reset(CreateFontIndirectA(&ncm.lfMessageFont));
    HFONT font = font_ ? font_.get() : static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    for (const Rect& c : kControls) {
        DWORD style = WS_CHILD | c.style;
        if (c.id != ids::kList2 && c.id != ids::kCommand2 && c.id != ids::kPausedNotice)
            style |= WS_VISIBLE;
        HWND h =
            CreateWindowExA(0, c.cls, c.text, style, tw.x(c.x), tw.y(c.y), tw.x(c.w), tw.y(c.h),
                            hwnd(), reinterpret_cast<HMENU>(INT_PTR(c.id)), inst, nullptr);
        SendMessageA(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    HWND sb = CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, hwnd(),
                              reinterpret_cast<HMENU>(INT_PTR(ids::kStatusBar1)), inst, nullptr);
    int parts[2] = {tw.x(kClientWidth / 2), -1};
    SendMessageA(sb, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));
}

void Form1::runDueTicks() {
    if (wiring_) wiring_->runDueTicks();
    if (timer1_ && timer1_->takeTick()) {
        testTick();
        timer1_->tickDone();
    }
}

void Form1::onLoad() {
    wiring_->driver().start([this] {
        SetWindowTextA(hwnd(), kTitle);
        make_Language();
    });
    sync();
}

void Form1::onUnload() {
    relay().unload();
    destroy();
}

std::string Form1::GetLangText(int key) const {
    char buf[255] = {};
    const std::string k = std::to_string(key);
    DWORD n = GetPrivateProfileStringA(langSection_.c_str(), k.c_str(), "", buf, sizeof buf,
                                       langFile_.c_str());
    return langTextFromProfile(buf, n);
}

void Form1::make_Language() {
    for (const LangKey& k : kLangKeys) LangTexts[k.slot] = GetLangText(k.key);
    ModifyMenuA(menuBar_, 0, MF_BYPOSITION | MF_POPUP, reinterpret_cast<UINT_PTR>(mSub1_),
                LangTexts[0].c_str());
    ModifyMenuA(mSub1_, ids::kMenuSetup, MF_BYCOMMAND | MF_STRING, ids::kMenuSetup,
                LangTexts[1].c_str());
    ModifyMenuA(mSub1_, ids::kMenuEnd, MF_BYCOMMAND | MF_STRING, ids::kMenuEnd,
                LangTexts[2].c_str());
    ModifyMenuA(mSub2_, ids::kMenuAbout, MF_BYCOMMAND | MF_STRING, ids::kMenuAbout,
                LangTexts[3].c_str());
    DrawMenuBar(hwnd());
    setLabel(control(ids::kLabel1), LangTexts[5]);
}

// ---- mirroring the relay ----

void Form1::changed(unsigned what) {
    dirty_ |= what;
    if (!syncPosted_ && hwnd()) {
        syncPosted_ = true;
        PostMessageA(hwnd(), kMsgSync, 0, 0);
    }
}

void Form1::messageBox(std::string_view text) {
    std::string shown(text);
    // The likely reason is not the port text but the service that already serves the ports.
    const int error = wiring_ ? relay().listenError() : 0;
    if ((error == WSAEADDRINUSE || error == WSAEACCES) && serviceRunning())
        shown = kServiceHoldsPorts;
    MessageBoxA(hwnd(), shown.c_str(), kTitle, MB_OK);
}

void Form1::setLabel(HWND label, const std::string& text) {
    SetWindowTextA(label, text.c_str());
    // Labels are sized to their text.
    SIZE sz = {};
    if (oxa::UniqueWindowDc dc = oxa::getWindowDc(label)) {
        HGDIOBJ old = SelectObject(
            dc.get().dc, reinterpret_cast<HGDIOBJ>(SendMessageA(label, WM_GETFONT, 0, 0)));
        GetTextExtentPoint32A(dc.get().dc, text.c_str(), static_cast<int>(text.size()), &sz);
        SelectObject(dc.get().dc, old);
    }
    RECT r = {};
    GetWindowRect(label, &r);
    SetWindowPos(label, nullptr, 0, 0, sz.cx, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER);
    InvalidateRect(hwnd(), nullptr, TRUE);
}

// Entries come only at the end and go one at a time, so the box is brought in step by
// removing the entries that went and appending the new ones: the rest keep their place, and
// the top entry and the selection stay on the same peer.
void Form1::syncPeers(HWND list, const std::vector<PeerEntry>& entries,
                      std::vector<uint64_t>& shown) {
    const int top = static_cast<int>(SendMessageA(list, LB_GETTOPINDEX, 0, 0));
    const int sel = static_cast<int>(SendMessageA(list, LB_GETCURSEL, 0, 0));
    const uint64_t selSerial = sel >= 0 && sel < static_cast<int>(shown.size()) ? shown[sel] : 0;
    int newTop = top;
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    size_t j = 0;
    for (size_t i = 0, old = 0; i < shown.size(); ++old) {
        if (j < entries.size() && entries[j].serial == shown[i]) {
            ++i, ++j;
            continue;
        }
        SendMessageA(list, LB_DELETESTRING, i, 0);
        shown.erase(shown.begin() + static_cast<std::ptrdiff_t>(i));
        if (static_cast<int>(old) < top) --newTop;
    }
    for (; j < entries.size(); ++j) {
        const PeerEntry& e = entries[j];
        LRESULT i = SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(e.text.c_str()));
        SendMessageA(list, LB_SETITEMDATA, i, e.id);
        shown.push_back(e.serial);
    }
    auto at = std::find(shown.begin(), shown.end(), selSerial);
    SendMessageA(list, LB_SETCURSEL, selSerial && at != shown.end() ? at - shown.begin() : -1, 0);
    SendMessageA(list, LB_SETTOPINDEX, std::max(newTop, 0), 0);
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

// The peer whose entry the operator clicked, even when the list has changed since.
void Form1::doubleClick(int listId, const std::vector<uint64_t>& shown) {
    const int sel = static_cast<int>(SendMessageA(control(listId), LB_GETCURSEL, 0, 0));
    if (sel < 0 || sel >= static_cast<int>(shown.size())) return;
    if (listId == ids::kList1)
        relay().senderDoubleClick(shown[sel]);
    else
        relay().receiverDoubleClick(shown[sel]);
}

void Form1::syncQueue() {
    HWND list = control(ids::kList2);
    const auto& q = relay().queue();
    const uint64_t head = relay().queueHeadSeq();
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    // Drop the lines sent since the last sync, then add the ones that arrived.
    uint64_t gone = head > shownHeadSeq_ ? head - shownHeadSeq_ : 0;
    if (gone >= shownCount_) {
        SendMessageA(list, LB_RESETCONTENT, 0, 0);
        shownCount_ = 0;
    } else {
        for (uint64_t i = 0; i < gone; ++i) SendMessageA(list, LB_DELETESTRING, 0, 0);
        shownCount_ -= gone;
    }
    shownHeadSeq_ = head;
    // A burst of arrivals is shown a slice at a time, so ticks and sockets get their turn
    // between the slices and the window stays responsive.
    const size_t kSlice = 2000;
    const size_t end = std::min(q.size(), shownCount_ + kSlice);
    if (end > shownCount_ + 100)
        SendMessageA(list, LB_INITSTORAGE, end - shownCount_, (end - shownCount_) * 48);
    for (size_t i = shownCount_; i < end; ++i)
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(std::string(q[i]).c_str()));
    shownCount_ = end;
    if (end < q.size()) changed(kQueue);
    SendMessageA(list, LB_SETCURSEL, shownCount_ > 0 && relay().queueHeadSelected() ? 0 : -1, 0);
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

void Form1::sync() {
    syncPosted_ = false;
    const unsigned what = dirty_;
    dirty_ = 0;
    if (what & kSenders) syncPeers(control(ids::kList1), relay().List1(), shownSenders_);
    if (what & kReceivers) syncPeers(control(ids::kList3), relay().List3(), shownReceivers_);
    if (what & kQueue) syncQueue();
    if (what & kLabels) {
        setLabel(control(ids::kLabel2), relay().Label2());
        // "Send to: " names the highest receiver id at the last line sent (blank before any).
        const std::optional<int16_t> sentTo = relay().lastSentToMax();
        setLabel(control(ids::kLabel3),
                 relay().lineSent() ? "Send to: " + (sentTo ? std::to_string(*sentTo) : "") : "");
        setLabel(control(ids::kLabel4),
                 "Updateinterval: " + std::to_string(relay().SendInterval()));
        HWND notice = control(ids::kPausedNotice);
        setLabel(notice, relay().readingPaused() ? kPausedText : "");
        ShowWindow(notice, relay().readingPaused() ? SW_SHOW : SW_HIDE);
    }
    if (what & kStatus) {
        HWND sb = control(ids::kStatusBar1);
        SendMessageA(sb, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(relay().statusAddress().c_str()));
        SendMessageA(sb, SB_SETTEXTA, 1, reinterpret_cast<LPARAM>(relay().statusPort().c_str()));
    }
}

// ---- operator actions ----

void Form1::setup() {
    SettingsStore& settings = wiring_->settings();
    const std::string current = settings.get("Port", "3001");
    std::optional<std::string> answer = InputBox(hwnd(), LangTexts[10], kTitle, current);
    if (!answer || answer->empty()) return;
    settings.save("Port", *answer);
    if (*answer == current) return;
    relay().Init_IP();  // another port typed: a restart, whatever the applied settings are
    wiring_->driver().settingsMayHaveChanged();
}

void Form1::about() {
    showAboutBox(hwnd(), LangTexts[11], [this] { toggleView(); });
}

void Form1::toggleView() {
    const Twips tw;
    RECT r = {};
    GetWindowRect(hwnd(), &r);
    const bool expanded = tw.toTwipsY(r.bottom - r.top) >= kViewThreshold;
    SetWindowPos(hwnd(), nullptr, 0, 0, r.right - r.left,
                 tw.y(expanded ? kCompactHeight : kExpandedHeight), SWP_NOMOVE | SWP_NOZORDER);
    ShowWindow(control(ids::kList2), expanded ? SW_HIDE : SW_SHOW);
}

void Form1::toggleTestMode() {
    if (timer1_->enabled()) {
        timer1_->setEnabled(false);
        const std::string text =
            "test:" + std::to_string(TestCount + static_cast<long long>(relay().queue().size()));
        MessageBoxA(hwnd(), text.c_str(), kTitle, MB_OK);
        TestCount = 0;
        return;
    }
    TestUpper = InputBox(hwnd(), "Obergrenze", kTitle, "111").value_or("");
    TestLower = InputBox(hwnd(), "unterergrenze", kTitle, "99").value_or("");
    timer1_->setEnabled(true);
}

void Form1::testTick() {
    // Each draw comes from a generator reseeded from the high-resolution clock.
    auto seed = [] {
        LARGE_INTEGER t;
        QueryPerformanceCounter(&t);
        return static_cast<uint64_t>(t.QuadPart) * 0x9E3779B97F4A7C15ull;
    };
    const double r = drawFromSeed(seed());
    const double s = drawFromSeed(seed() ^ 0xA5A5A5A5A5A5A5A5ull);
    relay().appendToQueue(testModeMessage(TestLower, TestUpper, r, s));
    ++TestCount;
}

void Form1::onCommand(int id, int code) {
    switch (id) {
        case ids::kMenuSetup:
            setup();
            break;
        case ids::kMenuEnd:
            PostMessageA(hwnd(), WM_CLOSE, 0, 0);
            break;
        case ids::kMenuAbout:
            about();
            break;
        case ids::kCommand2:
            if (code == BN_CLICKED) toggleTestMode();
            break;
        case ids::kList1:
            if (code == LBN_DBLCLK) doubleClick(id, shownSenders_);
            break;
        case ids::kList3:
            if (code == LBN_DBLCLK) doubleClick(id, shownReceivers_);
            break;
    }
}

LRESULT Form1::onMessage(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case kMsgTimer1:
            runDueTicks();
            return 0;
        case kMsgSync:
            sync();
            return 0;
        case WM_COMMAND:
            onCommand(LOWORD(wp), HIWORD(wp));
            return 0;
        case WM_SIZE:
            SendMessageA(control(ids::kStatusBar1), WM_SIZE, 0, 0);
            return 0;
        case WM_CLOSE:
            onUnload();
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return Window::onMessage(msg, wp, lp);
}

}  // namespace korrin
