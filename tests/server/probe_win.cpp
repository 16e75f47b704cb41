// korrin_probe: reads and drives a running Korrin Server from outside, as an operator would,
// for the black-box tests. One command per run; results as key=value lines on stdout.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "server/console/control_ids.h"

namespace {

using namespace korrin;

std::string escape(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c >= 0x7f || c == '\\') {
            char b[8];
            snprintf(b, sizeof b, "\\x%02X", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string unescape(const char* s) {
    std::string out;
    for (; *s; ++s) {
        if (s[0] == '\\' && s[1] == 'x' && s[2] && s[3]) {
            char hex[3] = {s[2], s[3], 0};
            out += static_cast<char>(strtol(hex, nullptr, 16));
            s += 3;
        } else {
            out += *s;
        }
    }
    return out;
}

std::string windowText(HWND h) {
    char buf[4096] = {};
    SendMessageTimeoutA(h, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf), SMTO_BLOCK, 2000,
                        nullptr);
    return buf;
}

HWND findForm1(int waitMs) {
    for (int t = 0;; t += 50) {
        HWND h = FindWindowA(ids::kForm1Class, nullptr);
        if (h || t >= waitMs) return h;
        Sleep(50);
    }
}

void rectLine(const char* name, HWND parent, HWND h) {
    RECT r = {};
    GetWindowRect(h, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    printf("rect.%s=%ld,%ld,%ld,%ld\n", name, r.left, r.top, r.right - r.left, r.bottom - r.top);
    printf("visible.%s=%d\n", name, IsWindowVisible(h) ? 1 : 0);
}

void dumpList(const char* name, HWND list) {
    LRESULT n = SendMessageA(list, LB_GETCOUNT, 0, 0);
    printf("%s.count=%ld\n", name, static_cast<long>(n));
    printf("%s.sel=%ld\n", name, static_cast<long>(SendMessageA(list, LB_GETCURSEL, 0, 0)));
    printf("%s.top=%ld\n", name, static_cast<long>(SendMessageA(list, LB_GETTOPINDEX, 0, 0)));
    for (LRESULT i = 0; i < n && i < 2000; ++i) {
        // The wide message crosses processes intact; the ANSI one comes back cut under Wine.
        static wchar_t wide[70000];
        static char buf[140000];
        LRESULT len = SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(wide));
        int bytes = len > 0 ? WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(len), buf,
                                                  sizeof buf - 1, nullptr, nullptr)
                            : 0;
        buf[bytes] = 0;
        LRESULT data = SendMessageA(list, LB_GETITEMDATA, i, 0);
        printf("%s.%ld=%s|%ld\n", name, static_cast<long>(i), escape(buf).c_str(),
               static_cast<long>(data));
    }
}

// Status bar messages are not marshalled between processes: the buffer has to live in the
// server's address space.
std::string statusText(HWND sb, int part) {
    DWORD pid = 0;
    GetWindowThreadProcessId(sb, &pid);
    HANDLE proc =
        OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (!proc) return "<no access>";
    const SIZE_T size = 4096;
    void* remote = VirtualAllocEx(proc, nullptr, size, MEM_COMMIT, PAGE_READWRITE);
    std::string text;
    if (remote) {
        char zero[4096] = {};
        WriteProcessMemory(proc, remote, zero, size, nullptr);
        SendMessageA(sb, SB_GETTEXTA, part, reinterpret_cast<LPARAM>(remote));
        char buf[4096] = {};
        ReadProcessMemory(proc, remote, buf, size - 1, nullptr);
        text = buf;
        VirtualFreeEx(proc, remote, 0, MEM_RELEASE);
    }
    CloseHandle(proc);
    return text;
}

void dumpMenu(HMENU m, const std::string& prefix) {
    int n = GetMenuItemCount(m);
    for (int i = 0; i < n; ++i) {
        char buf[512] = {};
        GetMenuStringA(m, i, buf, sizeof buf, MF_BYPOSITION);
        printf("menu%s%d=%s\n", prefix.c_str(), i, escape(buf).c_str());
        if (HMENU sub = GetSubMenu(m, i)) dumpMenu(sub, prefix + std::to_string(i) + ".");
    }
}

int dump(HWND f) {
    printf("caption=%s\n", escape(windowText(f)).c_str());
    RECT w = {}, c = {};
    GetWindowRect(f, &w);
    GetClientRect(f, &c);
    printf("window=%ld,%ld,%ld,%ld\n", w.left, w.top, w.right - w.left, w.bottom - w.top);
    printf("client=%ld,%ld\n", c.right, c.bottom);
    LONG style = GetWindowLongA(f, GWL_STYLE);
    printf("style.minimizebox=%d\nstyle.maximizebox=%d\nstyle.thickframe=%d\n",
           (style & WS_MINIMIZEBOX) ? 1 : 0, (style & WS_MAXIMIZEBOX) ? 1 : 0,
           (style & WS_THICKFRAME) ? 1 : 0);
    HDC dc = GetDC(nullptr);
    printf("dpi=%d,%d\n", GetDeviceCaps(dc, LOGPIXELSX), GetDeviceCaps(dc, LOGPIXELSY));
    ReleaseDC(nullptr, dc);
    if (HMENU m = GetMenu(f)) dumpMenu(m, "");
    struct {
        const char* name;
        int id;
    } labels[] = {{"label1", ids::kLabel1},     {"label2", ids::kLabel2},
                  {"label3", ids::kLabel3},     {"label4", ids::kLabel4},
                  {"command2", ids::kCommand2}, {"paused", ids::kPausedNotice}};
    for (auto& l : labels) {
        HWND h = GetDlgItem(f, l.id);
        printf("%s=%s\n", l.name, escape(windowText(h)).c_str());
        rectLine(l.name, f, h);
    }
    struct {
        const char* name;
        int id;
    } lists[] = {{"list1", ids::kList1}, {"list2", ids::kList2}, {"list3", ids::kList3}};
    for (auto& l : lists) {
        HWND h = GetDlgItem(f, l.id);
        dumpList(l.name, h);
        rectLine(l.name, f, h);
    }
    HWND sb = GetDlgItem(f, ids::kStatusBar1);
    for (int p = 0; p < 2; ++p) printf("status%d=%s\n", p + 1, escape(statusText(sb, p)).c_str());
    rectLine("statusbar", f, sb);
    return 0;
}

// A top-level dialog of the server's process (message box, input box, about box), if any.
struct Found {
    DWORD pid;
    const char* cls;
    HWND hwnd;
};
BOOL CALLBACK findDialog(HWND h, LPARAM lp) {
    auto* f = reinterpret_cast<Found*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    char cls[128] = {};
    GetClassNameA(h, cls, sizeof cls);
    if (pid == f->pid && IsWindowVisible(h) && strcmp(cls, f->cls) == 0) {
        f->hwnd = h;
        return FALSE;
    }
    return TRUE;
}
HWND waitDialog(HWND form, const char* cls, int waitMs) {
    Found f = {0, cls, nullptr};
    GetWindowThreadProcessId(form, &f.pid);
    for (int t = 0; t <= waitMs; t += 50) {
        f.hwnd = nullptr;
        EnumWindows(findDialog, reinterpret_cast<LPARAM>(&f));
        if (f.hwnd) return f.hwnd;
        Sleep(50);
    }
    return nullptr;
}

BOOL CALLBACK printChild(HWND h, LPARAM) {
    char cls[64] = {};
    GetClassNameA(h, cls, sizeof cls);
    printf("child=%d|%s|%s\n", GetDlgCtrlID(h), cls, escape(windowText(h)).c_str());
    return TRUE;
}

int usage() {
    fprintf(stderr,
            "usage: korrin_probe wait MS | dump | command ID | dblclick LISTID INDEX | close |\n"
            "  msgbox [ok] | input TEXT|--cancel | about | aboutclick ID |\n"
            "  regset NAME VALUE | regdel NAME | regsetlang VALUE | regdellang\n");
    return 2;
}

int regSet(const char* sub, const char* name, const std::string& value) {
    HKEY k;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, sub, 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr))
        return 1;
    LONG r = RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>(value.size() + 1));
    RegCloseKey(k);
    return r == 0 ? 0 : 1;
}

int regGet(const char* sub, const char* name) {
    HKEY k;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, sub, 0, KEY_READ, &k)) return 1;
    char buf[4096] = {};
    DWORD size = sizeof buf - 1, type = 0;
    LONG r = RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(k);
    if (r != 0) return 1;
    printf("type=%lu\nvalue=%s\n", type, escape(buf).c_str());
    return 0;
}

int regDel(const char* sub, const char* name) {
    HKEY k;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, sub, 0, KEY_WRITE, &k)) return 0;
    RegDeleteValueA(k, name);
    RegCloseKey(k);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string cmd = argv[1];
    const char* settings = "Software\\Oxa Software\\VarnelServer";
    const char* intl = "Control Panel\\International";
    if (cmd == "regset" && argc == 4) return regSet(settings, argv[2], unescape(argv[3]));
    if (cmd == "regdel" && argc == 3) return regDel(settings, argv[2]);
    if (cmd == "regget" && argc == 3) return regGet(settings, argv[2]);
    if (cmd == "regclear") {  // every setting back to its default
        RegDeleteKeyA(HKEY_CURRENT_USER, settings);
        return 0;
    }
    if (cmd == "regsetlang" && argc == 3) return regSet(intl, "sLanguage", unescape(argv[2]));
    if (cmd == "regdellang") return regDel(intl, "sLanguage");
    if (cmd == "sleep" && argc == 3) {  // keeps the Wine session, and so its services, alive
        Sleep(static_cast<DWORD>(atoi(argv[2])));
        return 0;
    }
    if (cmd == "paramchange") {  // the service re-reads its settings
        SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE svc = scm ? OpenServiceA(scm, "KorrinServer", SERVICE_PAUSE_CONTINUE) : nullptr;
        SERVICE_STATUS st;
        const bool ok = svc && ControlService(svc, SERVICE_CONTROL_PARAMCHANGE, &st);
        if (svc) CloseServiceHandle(svc);
        if (scm) CloseServiceHandle(scm);
        return ok ? 0 : 1;
    }
    if (cmd == "gone") {  // waits until no server window is left
        const int waitMs = argc > 2 ? atoi(argv[2]) : 10000;
        for (int t = 0; FindWindowA(ids::kForm1Class, nullptr); t += 50) {
            if (t >= waitMs) return 1;
            Sleep(50);
        }
        return 0;
    }
    if (cmd == "wait") {
        return findForm1(argc > 2 ? atoi(argv[2]) : 10000) ? 0 : 1;
    }
    HWND f = findForm1(2000);
    if (!f) {
        fprintf(stderr, "no server window\n");
        return 1;
    }
    if (cmd == "dump") return dump(f);
    if (cmd == "command" && argc == 3) {
        PostMessageA(f, WM_COMMAND, MAKEWPARAM(atoi(argv[2]), 0), 0);
        return 0;
    }
    if (cmd == "dblclick" && argc == 4) {
        const int id = atoi(argv[2]);
        HWND list = GetDlgItem(f, id);
        SendMessageA(list, LB_SETCURSEL, atoi(argv[3]), 0);
        PostMessageA(f, WM_COMMAND, MAKEWPARAM(id, LBN_DBLCLK), reinterpret_cast<LPARAM>(list));
        return 0;
    }
    if (cmd == "settop" && argc == 4) {  // scrolls a list box: settop <list id> <index>
        SendMessageA(GetDlgItem(f, atoi(argv[2])), LB_SETTOPINDEX, atoi(argv[3]), 0);
        return 0;
    }
    if (cmd == "select" && argc == 4) {  // select <list id> <index>
        SendMessageA(GetDlgItem(f, atoi(argv[2])), LB_SETCURSEL, atoi(argv[3]), 0);
        return 0;
    }
    if (cmd == "click" && argc == 3) {
        const int id = atoi(argv[2]);
        PostMessageA(f, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(f, id)));
        return 0;
    }
    if (cmd == "close") {
        PostMessageA(f, WM_CLOSE, 0, 0);
        return 0;
    }
    if (cmd == "msgbox") {
        HWND box = waitDialog(f, "#32770", 5000);
        if (!box) return 1;
        printf("title=%s\n", escape(windowText(box)).c_str());
        EnumChildWindows(box, printChild, 0);
        if (argc > 2) PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return 0;
    }
    if (cmd == "input" && argc == 3) {
        HWND box = waitDialog(f, "KorrinInputBox", 5000);
        if (!box) return 1;
        printf("title=%s\n", escape(windowText(box)).c_str());
        printf("prompt=%s\n", escape(windowText(GetDlgItem(box, ids::kInputPrompt))).c_str());
        printf("preset=%s\n", escape(windowText(GetDlgItem(box, ids::kInputEdit))).c_str());
        if (strcmp(argv[2], "--cancel") == 0) {
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        } else if (strcmp(argv[2], "--look") != 0) {
            const std::string text = unescape(argv[2]);
            SendMessageA(GetDlgItem(box, ids::kInputEdit), WM_SETTEXT, 0,
                         reinterpret_cast<LPARAM>(text.c_str()));
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        }
        return 0;
    }
    if (cmd == "about") {
        HWND box = waitDialog(f, ids::kForm2Class, 5000);
        if (!box) return 1;
        printf("title=%s\n", escape(windowText(box)).c_str());
        RECT w = {}, c = {};
        GetWindowRect(box, &w);
        GetClientRect(box, &c);
        printf("window=%ld,%ld,%ld,%ld\nclient=%ld,%ld\n", w.left, w.top, w.right - w.left,
               w.bottom - w.top, c.right, c.bottom);
        EnumChildWindows(box, printChild, 0);
        return 0;
    }
    if (cmd == "aboutclick" && argc == 3) {
        HWND box = waitDialog(f, ids::kForm2Class, 5000);
        if (!box) return 1;
        const int id = atoi(argv[2]);
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
        return 0;
    }
    return usage();
}
