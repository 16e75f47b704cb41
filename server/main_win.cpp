// The program's entry for both front ends: "/service" runs the relay as a Windows service,
// "/install" and "/uninstall" manage that service, and anything else is the operator window
// (Main: single instance, language detection, then Form1 and its message loop).
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/win32_handles.h"
#include "server/console/control_ids.h"
#include "server/console/form1_win.h"
#include "server/console/language.h"
#include "server/console/modal_win.h"
#include "server/service/service_win.h"
#include "server/win32/program_files_win.h"
#include "server/win32/registry_settings_win.h"

namespace {

// The command line's first word, lower case: "/service", "/install", "/uninstall" or "".
std::string modeOf(const char* commandLine) {
    std::string word;
    for (const char* p = commandLine ? commandLine : ""; *p; ++p) {
        if (*p == ' ' || *p == '\t') {
            if (word.empty()) continue;
            break;
        }
        word += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    }
    return word;
}

// Says how /install or /uninstall went in the console it was started from, if any.
int reportToConsole(int code, const char* what) {
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return code;
    char text[512];
    if (code == 0) {
        snprintf(text, sizeof text, "Korrin Server: %s.\r\n", what);
    } else {
        char reason[256] = {};
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       reason, sizeof reason, nullptr);
        snprintf(text, sizeof text, "Korrin Server: %s failed, error %d: %s\r\n", what, code,
                 reason);
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(strlen(text)), &written,
              nullptr);
    FreeConsole();
    return code;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
    using namespace korrin;
    const std::string mode = modeOf(commandLine);
    if (mode == "/service") return runService();
    if (mode == "/install")
        return reportToConsole(installService(), "service installed and started");
    if (mode == "/uninstall") return reportToConsole(uninstallService(), "service removed");
    // One instance per user session: a second start only beeps.
    const oxa::UniqueKernelHandle mutex(CreateMutexA(nullptr, FALSE, ids::kInstanceMutex));
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) {
        MessageBeep(MB_OK);
        return 0;
    }
    const std::string LangFile = programDirectory() + "Language.dll";
    // A code that is missing, or no text, reads as English.
    RegistrySettings international(HKEY_CURRENT_USER, "Control Panel\\International");
    const std::string LangSection = languageSection(international.get("sLanguage", ""));

    Form1 form1(LangFile, LangSection);
    if (!form1.show()) return 1;
    MSG m;
    while (GetMessageA(&m, nullptr, 0, 0) > 0) {
        if (beforeDispatch()) beforeDispatch()();
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
    return 0;
}
