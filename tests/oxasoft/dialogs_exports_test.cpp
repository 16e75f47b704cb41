// The open-file and colour dialogs of oxasoft.dll, called by name and driven from a second
// thread as a user would: find the dialog, read what it shows, type a name, press a button.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <string>
#include <thread>

#include "tests/oxasoft/export_call.h"

namespace {

using oxatest::call;
using oxatest::call_string;

constexpr int kIdFileName = 0x47c;  // cmb13: the file name box of the explorer-style dialog
constexpr int kIdFileType = 0x470;  // cmb1: the list of filters

std::string window_text(HWND w) {
    char text[512] = {};
    GetWindowTextA(w, text, sizeof text);
    return text;
}

BOOL CALLBACK take_visible_dialog(HWND w, LPARAM out) {
    char cls[16] = {};
    GetClassNameA(w, cls, sizeof cls);
    if (std::string(cls) != "#32770" || !IsWindowVisible(w)) return TRUE;
    *reinterpret_cast<HWND*>(out) = w;
    return FALSE;
}

HWND find_dialog(DWORD thread) {
    HWND found = nullptr;
    for (int i = 0; i < 400 && !found; ++i) {  // up to 20 s: the first dialog loads the shell
        EnumThreadWindows(thread, take_visible_dialog, reinterpret_cast<LPARAM>(&found));
        if (!found) Sleep(50);
    }
    return found;
}

// What the driver saw in the dialog, and what it did.
struct Seen {
    bool found = false;
    std::string caption;
    int filter_count = -1;
    std::string first_filter;
    std::string last_filter;
};

// Drives the next dialog of `thread`: types `file_name` when given, then presses OK or Cancel.
class Driver {
  public:
    Driver(DWORD thread, bool confirm, std::string file_name = {})
        : worker_([this, thread, confirm, file_name] { drive(thread, confirm, file_name); }) {}
    Seen finish() {
        worker_.join();
        return seen_;
    }

  private:
    void drive(DWORD thread, bool confirm, const std::string& file_name) {
        HWND dlg = find_dialog(thread);
        if (!dlg) return;
        seen_.found = true;
        seen_.caption = window_text(dlg);
        if (HWND types = GetDlgItem(dlg, kIdFileType)) {
            seen_.filter_count = static_cast<int>(SendMessageA(types, CB_GETCOUNT, 0, 0));
            char item[256] = {};
            SendMessageA(types, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(item));
            seen_.first_filter = item;
            SendMessageA(types, CB_GETLBTEXT, seen_.filter_count - 1,
                         reinterpret_cast<LPARAM>(item));
            seen_.last_filter = item;
        }
        if (!file_name.empty()) SetWindowTextA(GetDlgItem(dlg, kIdFileName), file_name.c_str());
        SendMessageA(GetDlgItem(dlg, confirm ? IDOK : IDCANCEL), BM_CLICK, 0, 0);
    }

    Seen seen_;
    std::thread worker_;
};

std::string temp_directory() {
    char dir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, dir);
    return dir;
}

TEST(OpenFileDlg, ConfirmedChoiceGivesItsFullPath) {
    // No initial directory: the dialog opens in the current one, where a bare name is found.
    const std::string dir = temp_directory();
    const std::string file = dir + "oxa_pick.ini";
    std::ofstream(file) << "[x]\n";
    char previous[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, previous);
    SetCurrentDirectoryA(dir.c_str());

    char filter[] = "Ini|*.ini|All|*.*";
    long flags = 0;
    Driver driver(GetCurrentThreadId(), true, "oxa_pick.ini");
    const std::string chosen = call_string("OPEN_FILE_DLG", 0, "Pick one", "", "", filter, &flags);
    const Seen seen = driver.finish();
    SetCurrentDirectoryA(previous);
    DeleteFileA(file.c_str());

    ASSERT_TRUE(seen.found);
    EXPECT_EQ(chosen, file);
    EXPECT_EQ(seen.caption, "Pick one");
    EXPECT_EQ(seen.filter_count, 2);
    EXPECT_EQ(seen.first_filter, "Ini");
    EXPECT_EQ(flags, 0x1004);
    EXPECT_EQ(std::string(filter, sizeof filter), std::string("Ini\0*.ini\0All\0*.*\0", 18));
}

TEST(OpenFileDlg, CancelGivesTheEmptyResultAndKeepsOtherFlags) {
    // 44 characters of filters: more than a 24-byte area holds, all of them reach the dialog.
    char filter[] = "Documents|*.doc;*.txt|Pictures|*.bmp|All|*.*";
    long flags = 0x1000;  // OFN_FILEMUSTEXIST only
    Driver driver(GetCurrentThreadId(), false);
    const std::string result =
        call_string("OPEN_FILE_DLG", 0, "", "missing.txt", "C:\\windows", filter, &flags);
    const Seen seen = driver.finish();

    ASSERT_TRUE(seen.found);
    EXPECT_EQ(result, "");
    EXPECT_EQ(seen.caption, "Open");  // the dialog's own title
    EXPECT_EQ(seen.filter_count, 3);
    EXPECT_EQ(seen.last_filter, "All");
    EXPECT_EQ(flags, 0x1000);
}

TEST(OpenFileDlg, LongTitleIsCutAndSingleFilterIsOneEntry) {
    const std::string title(300, 't');
    char filter[] = "All|*.*";
    long flags = 0;
    Driver driver(GetCurrentThreadId(), false);
    EXPECT_EQ(call_string("OPEN_FILE_DLG", 0, title.c_str(), nullptr, nullptr, filter, &flags), "");
    const Seen seen = driver.finish();

    ASSERT_TRUE(seen.found);
    EXPECT_EQ(seen.caption, std::string(249, 't'));
    EXPECT_EQ(seen.filter_count, 1);
    EXPECT_EQ(seen.first_filter, "All");
    EXPECT_EQ(std::string(filter, 8), std::string("All\0*.*\0", 8));
}

TEST(ShowColor, ConfirmReturnsTheColourAndCancelZero) {
    const struct {
        long colour;
        bool confirm;
        long result;
    } cases[] = {{255, true, 255}, {0x123456, true, 0x123456}, {0x123456, false, 0}};
    for (const auto& c : cases) {
        long colour = c.colour;
        Driver driver(GetCurrentThreadId(), c.confirm);
        const long result = static_cast<long>(call("SHOW_COLOR", 0, &colour));
        ASSERT_TRUE(driver.finish().found);
        EXPECT_EQ(result, c.result) << c.colour;
        EXPECT_EQ(colour, c.colour) << "the caller's variable is never written";
    }
}

}  // namespace
