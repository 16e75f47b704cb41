// System and device queries of oxasoft.dll, called by name as its callers do. The version
// and the missing audio driver are start-up settings of a process, so a child program
// reports them; Wine takes the version of one program from AppDefaults, which leaves every
// other program of the prefix alone.
#include <windows.h>
// after windows.h
#include <gtest/gtest.h>
#include <mmsystem.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/oxasoft/export_call.h"
#include "tests/oxasoft/system_test_support.h"

namespace {

using oxatest::call;
using oxatest::call_string;
using oxatest::run_child;
using oxatest::ScopedRegValue;

const char kProbe[] = "system_probe.exe";

TEST(GetWinVersion, NamesEachVersionWineCanReport) {
    const struct {
        const char* wine_version;
        const char* name;
    } rows[] = {
        {"win95", "W95"},
        {"win98", "W98"},
        {"winme", "ME"},
        {"nt351", "NT 3.51 Service Pack 5"},
        {"nt40", "NT 4.0 Service Pack 6a"},
        {"win2k", "Windows 2000 Service Pack 4"},
        {"winxp", "Windows XP Service Pack 3"},
        {"win2003", ""},  // 5.2
        {"win7", ""},     // 6.1
    };
    const std::string app_key = std::string("Software\\Wine\\AppDefaults\\") + kProbe;
    for (const auto& row : rows) {
        ScopedRegValue version(HKEY_CURRENT_USER, app_key, "Version");
        version.set_text(row.wine_version);
        const oxatest::ChildRun run = run_child(kProbe, "version", false);
        ASSERT_TRUE(run.started);
        EXPECT_EQ(run.output, "version=[" + std::string(row.name) + "]\n") << row.wine_version;
    }
    oxatest::delete_key(HKEY_CURRENT_USER, app_key);
}

TEST(GetWinVersion, BalancedInThisProcess) {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(&info));
    const std::string name = call_string("GET_WIN_VERSION");
    if (info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion == 5 &&
        info.dwMinorVersion == 1) {
        EXPECT_EQ(name, std::string("Windows XP ") + info.szCSDVersion);
    } else if (info.dwMajorVersion >= 6) {
        EXPECT_EQ(name, "");
    }
}

TEST(DebugPrint, WritesOnePrefixedTrimmedLine) {
    const oxatest::ChildRun run = run_child(kProbe, "debug", true);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(run.output, "results=[1 1]\n");
    std::vector<std::string> ours;
    std::copy_if(run.debug_lines.begin(), run.debug_lines.end(), std::back_inserter(ours),
                 [](const std::string& line) { return line.rfind("OXA:", 0) == 0; });
    // Exactly these texts: no line end is added.
    EXPECT_EQ(ours, (std::vector<std::string>{"OXA: ready", "OXA: "}));
}

TEST(DebugPrint, ReturnsOneAlsoForNull) {
    EXPECT_EQ(call("DEBUG_PRINT", " x "), 1u);
    EXPECT_EQ(call("DEBUG_PRINT", nullptr), 1u);
}

// What the platform itself reports for a device, as the reference for the exports.
std::string mixer_name(UINT id) {
    MIXERCAPSA caps = {};
    mixerGetDevCapsA(id, &caps, sizeof caps);
    return caps.szPname;
}
std::string wave_out_name(UINT id) {
    WAVEOUTCAPSA caps = {};
    waveOutGetDevCapsA(id, &caps, sizeof caps);
    return caps.szPname;
}
std::string wave_in_name(UINT id) {
    WAVEINCAPSA caps = {};
    waveInGetDevCapsA(id, &caps, sizeof caps);
    return caps.szPname;
}

TEST(AudioDevices, WithDriverMatchThePlatform) {
    const long mixers = static_cast<long>(call("GET_MIXERCOUNT"));
    const long outs = static_cast<long>(call("GET_NUM_WAVE_OUT"));
    const long ins = static_cast<long>(call("GET_NUM_WAVE_IN"));
    EXPECT_EQ(mixers, static_cast<long>(mixerGetNumDevs()));
    EXPECT_EQ(outs, static_cast<long>(waveOutGetNumDevs()));
    EXPECT_EQ(ins, static_cast<long>(waveInGetNumDevs()));
    if (std::getenv("ALSA_CONFIG_PATH")) {
        // The test runs with a null sound device configured: there is something to name.
        EXPECT_GE(outs, 1);
        EXPECT_GE(ins, 1);
    }
    for (long i = 0; i <= mixers; ++i) {
        EXPECT_EQ(call_string("GET_MIXERNAME", i), mixer_name(i)) << i;
    }
    for (short i = 0; i <= outs; ++i) {
        EXPECT_EQ(call_string("GET_WAVE_OUT_DEV", &i), wave_out_name(i)) << i;
    }
    for (short i = 0; i <= ins; ++i) {
        EXPECT_EQ(call_string("GET_WAVE_IN_DEV", &i), wave_in_name(i)) << i;
    }
    // An index equal to the count names nothing.
    EXPECT_EQ(call_string("GET_MIXERNAME", mixers), "");
    short past = static_cast<short>(outs);
    EXPECT_EQ(call_string("GET_WAVE_OUT_DEV", &past), "");
    past = static_cast<short>(ins);
    EXPECT_EQ(call_string("GET_WAVE_IN_DEV", &past), "");
}

TEST(AudioDevices, SixteenBitIndexesAreSignExtended) {
    // -1 in 16 bits, followed by other bytes: only the 16 bits count, widened to all 32 set.
    const short words[2] = {-1, 1};
    EXPECT_EQ(call_string("GET_WAVE_OUT_DEV", &words[0]), wave_out_name(0xFFFFFFFFu));
    EXPECT_EQ(call_string("GET_WAVE_IN_DEV", &words[0]), wave_in_name(0xFFFFFFFFu));
    EXPECT_EQ(call_string("GET_MIXERNAME", -1L), mixer_name(0xFFFFFFFFu));
    EXPECT_EQ(call_string("GET_WAVE_OUT_DEV", nullptr), wave_out_name(0));
}

TEST(AudioDevices, WithoutDriverThereAreNone) {
    // The driver list is read at process start: an empty list gives a child no devices.
    ScopedRegValue audio(HKEY_CURRENT_USER, "Software\\Wine\\Drivers", "Audio");
    audio.set_text("");
    const oxatest::ChildRun run = run_child(kProbe, "audio", false);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.output, "counts=[0 0 0]\nmixer0=[]\nout0=[]\nin0=[]\n");
}

TEST(ReplaceAscii, ThroughTheExport) {
    EXPECT_EQ(call_string("REPLACE_ASCII", "a-b-c", "-", ""), "abc");
    EXPECT_EQ(call_string("REPLACE_ASCII", "a-b-c", "-", "--"), "a--b--c");
    EXPECT_EQ(call_string("REPLACE_ASCII", "a-b-c", "-b", "x"), "a-b-c");
    EXPECT_EQ(call_string("REPLACE_ASCII", "-", "-", ""), "");  // empty result: a null handle
    EXPECT_EQ(call_string("REPLACE_ASCII", nullptr, nullptr, nullptr), "");
    EXPECT_EQ(call_string("REPLACE_ASCII", "ab", "a", nullptr), "b");
}

bool is_topmost(HWND w) {
    return (GetWindowLongA(w, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
}

TEST(FormOnTop, OnlyFlagOneKeepsTheWindowTopmost) {
    HWND w = CreateWindowExA(0, "STATIC", "formontop", WS_POPUP, 10, 10, 50, 50, nullptr, nullptr,
                             nullptr, nullptr);
    ASSERT_NE(w, nullptr);
    long handle = static_cast<long>(reinterpret_cast<LONG_PTR>(w));
    const struct {
        short flag;
        short next_word;  // memory after the 16-bit flag, which must not be read
        bool topmost;
    } cases[] = {{1, 0, true}, {-1, 0, false}, {1, 7, true}, {0, 1, false}, {2, 0, false}};
    for (const auto& c : cases) {
        const short flag[2] = {c.flag, c.next_word};
        call("FORMONTOP", &handle, &flag[0]);
        EXPECT_EQ(is_topmost(w), c.topmost) << c.flag;
        EXPECT_TRUE(IsWindowVisible(w)) << c.flag;
    }
    DestroyWindow(w);
    long no_window = 0;
    call("FORMONTOP", &no_window, nullptr);  // nothing to move, and no crash
}

TEST(FindExeToOpen, ProgramOfAnAssociatedFileOrEmpty) {
    // A scratch extension bound to the text-file class, so no shared association changes.
    const char kExt[] = ".oxatst";
    HKEY ext = nullptr;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_CLASSES_ROOT, kExt, 0, nullptr, 0, KEY_WRITE, nullptr, &ext, nullptr),
        ERROR_SUCCESS);
    RegSetValueExA(ext, "", 0, REG_SZ, reinterpret_cast<const BYTE*>("txtfile"), 8);
    RegCloseKey(ext);
    char dir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, dir);
    const std::string file = std::string(dir) + "oxa_find_exe" + kExt;
    std::ofstream(file) << "text";

    std::string program = call_string("FIND_EXE_TO_OPEN", file.c_str());
    std::transform(program.begin(), program.end(), program.begin(), ::tolower);
    EXPECT_EQ(program.substr(program.size() >= 11 ? program.size() - 11 : 0), "notepad.exe")
        << program;
    EXPECT_NE(program.front(), ' ');

    DeleteFileA(file.c_str());
    oxatest::delete_key(HKEY_CLASSES_ROOT, kExt);
    EXPECT_EQ(call_string("FIND_EXE_TO_OPEN", file.c_str()), "");  // missing file: null handle
    EXPECT_EQ(call_string("FIND_EXE_TO_OPEN", nullptr), "");
}

}  // namespace
