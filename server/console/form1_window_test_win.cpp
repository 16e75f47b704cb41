// The real main window, built in this process: menus, layout in pixels, the two views and
// the version resource the about box shows.
#include <gtest/gtest.h>

#include <fstream>

#include "common/win32_handles.h"
#include "server/console/control_ids.h"
#include "server/console/form1_win.h"
#include "server/console/version_info.h"

namespace korrin {
namespace {

std::string winPath(std::string unix) {
    for (char& c : unix)
        if (c == '/') c = '\\';
    return "Z:" + unix;
}

std::string menuText(HMENU m, int pos) {
    char buf[256] = {};
    GetMenuStringA(m, pos, buf, sizeof buf, MF_BYPOSITION);
    return buf;
}

// Handles what the window left in the queue, its WM_QUIT included (a closed window posts it).
void drainQuit() {
    MSG m;
    for (int i = 0; i < 10000 && PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE); ++i) {
        if (m.message != WM_QUIT) DispatchMessageA(&m);
    }
}

// The window listens on the ports of the stored setting: keep it away from other tests.
struct ScratchPort {
    ScratchPort() { set("4400"); }
    ~ScratchPort() {
        oxa::UniqueHkey k;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_WRITE, k.put()) == 0)
            RegDeleteValueA(k.get(), "Port");
    }
    static void set(const char* v) {
        oxa::UniqueHkey k;
        RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, k.put(),
                        nullptr);
        RegSetValueExA(k.get(), "Port", 0, REG_SZ, reinterpret_cast<const BYTE*>(v), strlen(v) + 1);
    }
    static constexpr const char* kKey = "Software\\Oxa Software\\VarnelServer";
};

TEST(Form1Window, MenuCaptionsComeFromTheLanguageSection) {
    ScratchPort port;
    struct Case {
        std::string file, section;
        std::string m1, setup, end, about;
    } cases[] = {
        {KORRIN_LANGUAGE_FILE, "DEU", "Datei", "Einstellungen", "Beenden",
         "\xdc"
         "ber"},
        {KORRIN_LANGUAGE_FILE, "NLD", "Bestand", "Instellingen", "Afsluiten", "Info"},
        {KORRIN_LANGUAGE_FILE, "ENG", "File", "Setup", "End", "About"},
        {"/nonexistent/Language.dll", "ENG", "", "", "", ""},
    };
    for (const Case& c : cases) {
        Form1 form(winPath(c.file), c.section);
        ASSERT_TRUE(form.show());
        HMENU bar = GetMenu(form.hwnd());
        ASSERT_EQ(GetMenuItemCount(bar), 2);
        EXPECT_EQ(menuText(bar, 0), c.m1) << c.section;
        EXPECT_EQ(menuText(bar, 1), "?");
        HMENU sub1 = GetSubMenu(bar, 0);
        ASSERT_EQ(GetMenuItemCount(sub1), 3);
        EXPECT_EQ(menuText(sub1, 0), c.setup);
        EXPECT_EQ(GetMenuState(sub1, 1, MF_BYPOSITION) & MF_SEPARATOR, UINT(MF_SEPARATOR));
        EXPECT_EQ(menuText(sub1, 2), c.end);
        EXPECT_EQ(menuText(GetSubMenu(bar, 1), 0), c.about);
        EXPECT_EQ(GetMenuItemID(sub1, 0), UINT(ids::kMenuSetup));
        EXPECT_EQ(GetMenuItemID(sub1, 2), UINT(ids::kMenuEnd));
    }
    drainQuit();
}

TEST(Form1Window, ControlsSitAtTheirDesignRectanglesInPixels) {
    ScratchPort port;
    Form1 form(winPath(KORRIN_LANGUAGE_FILE), "ENG");
    ASSERT_TRUE(form.show());
    HWND f = form.hwnd();
    const oxa::UniqueWindowDc dc = oxa::getWindowDc(nullptr);
    const int dx = GetDeviceCaps(dc.get().dc, LOGPIXELSX);
    const int dy = GetDeviceCaps(dc.get().dc, LOGPIXELSY);
    auto px = [](int tw, int dpi) { return MulDiv(tw, dpi, 1440); };
    struct Case {
        int id, x, y, w, h;
        bool visible, sizedToText;
    } cases[] = {
        {ids::kLabel1, 210, 210, 480, 195, true, true},
        {ids::kCommand2, 4020, 120, 1365, 345, false, false},
        {ids::kList3, 180, 480, 5925, 3180, true, false},
        {ids::kList1, 150, 4230, 2625, 1620, true, false},
        {ids::kList2, 2820, 4230, 3255, 1620, false, false},
        {ids::kLabel2, 150, 5940, 2445, 195, true, true},
        {ids::kLabel3, 2850, 5940, 645, 195, true, true},
        {ids::kLabel4, 4470, 5940, 645, 195, true, true},
    };
    for (const Case& c : cases) {
        HWND h = GetDlgItem(f, c.id);
        ASSERT_TRUE(h) << c.id;
        RECT r;
        GetWindowRect(h, &r);
        MapWindowPoints(nullptr, f, reinterpret_cast<POINT*>(&r), 2);
        EXPECT_EQ(r.left, px(c.x, dx)) << c.id;
        EXPECT_EQ(r.top, px(c.y, dy)) << c.id;
        if (!c.sizedToText) {
            EXPECT_EQ(r.right - r.left, px(c.w, dx)) << c.id;
        }
        // A list box may round its height to whole items.
        if (c.id != ids::kList3 && c.id != ids::kList1) {
            EXPECT_EQ(r.bottom - r.top, px(c.h, dy)) << c.id;
        }
        EXPECT_EQ(IsWindowVisible(h) != FALSE, c.visible) << c.id;
    }
    RECT client;
    GetClientRect(f, &client);
    EXPECT_EQ(client.right, px(6195, dx));
    EXPECT_EQ(client.bottom, px(4050, dy));
    RECT w;
    GetWindowRect(f, &w);
    EXPECT_EQ(w.left, px(3525, dx));
    EXPECT_EQ(w.top, px(2640, dy));
    const LONG style = GetWindowLongA(f, GWL_STYLE);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME);
    // The status bar is docked to the bottom edge.
    RECT sb;
    GetWindowRect(GetDlgItem(f, ids::kStatusBar1), &sb);
    MapWindowPoints(nullptr, f, reinterpret_cast<POINT*>(&sb), 2);
    EXPECT_EQ(sb.bottom, client.bottom);
    EXPECT_EQ(sb.right - sb.left, client.right);
    drainQuit();
}

TEST(Form1Window, PictureClickTogglesBetweenTheTwoViews) {
    ScratchPort port;
    Form1 form(winPath(KORRIN_LANGUAGE_FILE), "ENG");
    ASSERT_TRUE(form.show());
    HWND f = form.hwnd();
    const int dy = GetDeviceCaps(oxa::getWindowDc(nullptr).get().dc, LOGPIXELSY);
    RECT start;
    GetWindowRect(f, &start);
    EXPECT_LT(MulDiv(start.bottom - start.top, 1440, dy), 5000);  // opens compact
    const struct {
        int height;
        bool list2;
    } steps[] = {{7230, true}, {4860, false}, {7230, true}};
    for (const auto& s : steps) {
        form.toggleView();
        RECT r, client, sb;
        GetWindowRect(f, &r);
        EXPECT_EQ(r.bottom - r.top, MulDiv(s.height, dy, 1440));
        EXPECT_EQ(r.left, start.left);
        EXPECT_EQ(r.top, start.top);
        EXPECT_EQ(r.right - r.left, start.right - start.left);
        EXPECT_EQ(IsWindowVisible(GetDlgItem(f, ids::kList2)) != FALSE, s.list2);
        GetClientRect(f, &client);
        GetWindowRect(GetDlgItem(f, ids::kStatusBar1), &sb);
        MapWindowPoints(nullptr, f, reinterpret_cast<POINT*>(&sb), 2);
        EXPECT_EQ(sb.bottom, client.bottom);
    }
    drainQuit();
}

TEST(VersionResource, ProgramCarriesTheVersionAndMakerTheAboutBoxShows) {
    HMODULE exe =
        LoadLibraryExA(winPath(KORRIN_SERVER_EXE).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(exe);
    HRSRC res = FindResourceA(exe, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16));
    ASSERT_TRUE(res);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(exe, res)));
    auto v = parseVersionResource(std::string_view(bytes, SizeofResource(exe, res)));
    ASSERT_TRUE(v);
    EXPECT_EQ(versionText(*v), KORRIN_VERSION);
    EXPECT_EQ(v->companyName, "Oxa Software");
    EXPECT_FALSE(v->comments.empty());
    EXPECT_FALSE(parseVersionResource(std::string_view(bytes, 40)));
    EXPECT_FALSE(parseVersionResource("garbage that is not a resource"));
    FreeLibrary(exe);
}

}  // namespace
}  // namespace korrin
