// Main: single instance, language detection, then Form1 and its message loop.
#include <windows.h>

#include <string>

#include "../net/registry_key_win.h"
#include "../net/win32_ports_win.h"
#include "control_ids.h"
#include "form1_win.h"
#include "language.h"
#include "modal_win.h"

namespace korrin {


// Reads a registry value as text; false when the key or the value could not be read.
bool ReadRegistryText(HKEY root, const std::string& subKey, const std::string& valueName,
                      std::string& result) {
    UniqueKey key;
    if (RegOpenKeyExA(root, subKey.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        result.clear();
        return false;
    }
    char buf[1024] = {};
    DWORD len = sizeof buf, type = 0;
    if (RegQueryValueExA(key.get(), valueName.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(buf), &len) != ERROR_SUCCESS) {
        result.clear();
        return false;
    }
    std::optional<std::string> text = registryText(type, std::string_view(buf, sizeof buf), len,
                                                   result);
    if (!text) return false;  // a value without data bytes: no result
    result = *text;
    return true;
}

}  // namespace korrin

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    using namespace korrin;
    // One instance per user session: a second start only beeps.
    HANDLE mutex = CreateMutexA(nullptr, FALSE, ids::kInstanceMutex);
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) {
        MessageBeep(MB_OK);
        CloseHandle(mutex);
        return 0;
    }
    const std::string LangFile = programDirectory() + "Language.dll";
    std::string code;
    ReadRegistryText(HKEY_CURRENT_USER, "Control Panel\\International", "sLanguage", code);
    const std::string LangSection = languageSection(code);

    Form1 form1(LangFile, LangSection);
    if (!form1.show()) return 1;
    MSG m;
    while (GetMessageA(&m, nullptr, 0, 0) > 0) {
        if (beforeDispatch()) beforeDispatch()();
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
    if (mutex) CloseHandle(mutex);
    return 0;
}
