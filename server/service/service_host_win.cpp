// The service's run: the relay wired as in the window, driven by a message loop of its own;
// the service manager's requests arrive as messages of that loop.
#include <windows.h>

#include <array>
#include <memory>
#include <string>

#include "../net/relay_wiring_win.h"
#include "service_win.h"

namespace korrin {

namespace {

constexpr UINT kMsgTick = WM_APP + 1;
constexpr UINT kMsgStop = WM_APP + 2;
constexpr UINT kMsgParamChange = WM_APP + 3;
constexpr UINT_PTR kRetryTimer = 1;
constexpr UINT kRetryMs = 30 * 1000;
constexpr char kWindowClass[] = "KorrinServiceHost";
// What Init_IP reads when it restarts the listeners.
constexpr std::array<const char*, 4> kListenerSettings = {"Port", "Bind", "AllowSenders",
                                                          "AllowReceivers"};

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HWND hostWindow = nullptr;

void setStatus(DWORD state, DWORD exitCode = NO_ERROR) {
    SERVICE_STATUS s = {};
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted =
        state == SERVICE_RUNNING
            ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE
            : 0;
    s.dwWin32ExitCode = exitCode;
    s.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 10000;
    SetServiceStatus(statusHandle, &s);
}

// %ProgramData%\Oxa Software\Korrin Server\, made when missing: the program's own folder is
// not writable for the service's account.
std::string logDirectory() {
    char base[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableA("ProgramData", base, sizeof base);
    std::string dir = base;
    if (n == 0 || n >= sizeof base) {  // Windows XP: the same folder under another name
        n = GetEnvironmentVariableA("ALLUSERSPROFILE", base, sizeof base);
        if (n == 0 || n >= sizeof base) return {};
        dir = std::string(base) + "\\Application Data";
    }
    for (const char* part : {"\\Oxa Software", "\\Korrin Server"}) {
        dir += part;
        CreateDirectoryA(dir.c_str(), nullptr);
    }
    return dir + "\\";
}

class ServiceHost final : public RelayView {
public:
    ServiceHost()
        : wiring_(hostWindow, kMsgTick, 0, HKEY_LOCAL_MACHINE, logDirectory() + "IpError.txt",
                  *this),
          relay_(wiring_.relay()) {}

    void start() {
        relay_.load(nullptr);
        rememberSettings();
    }

    // The message loop; returns when the service has been asked to stop.
    void run() {
        MSG m;
        while (GetMessageA(&m, nullptr, 0, 0) > 0) {
            wiring_.runDueTick();  // the due send step goes ahead of every other message
            if (m.hwnd != hostWindow) {
                DispatchMessageA(&m);
                continue;
            }
            switch (m.message) {
            case kMsgStop:
                relay_.unload();
                return;
            case kMsgParamChange:
                if (settingsChanged()) restartListeners();
                break;
            case WM_TIMER:
                if (m.wParam == kRetryTimer) {
                    KillTimer(hostWindow, kRetryTimer);
                    restartListeners();
                }
                break;
            default:
                DispatchMessageA(&m);
            }
        }
    }

    void changed(unsigned) override {}

    // Nobody is there to read a message box: the log says it, and the ports are tried again.
    void messageBox(std::string_view text) override {
        failedNow_ = true;
        if (!failing_) relay_.inputError(relay_.listenError(), text);
        failing_ = true;
        SetTimer(hostWindow, kRetryTimer, kRetryMs, nullptr);
    }

private:
    void restartListeners() {
        failedNow_ = false;
        relay_.Init_IP();
        rememberSettings();
        if (!failedNow_ && failing_) {
            failing_ = false;
            KillTimer(hostWindow, kRetryTimer);
            relay_.inputError(0, "Ports open again");
        }
    }
    void rememberSettings() {
        for (size_t i = 0; i < kListenerSettings.size(); ++i)
            seen_[i] = wiring_.settings().get(kListenerSettings[i], "\x01");
    }
    bool settingsChanged() {
        for (size_t i = 0; i < kListenerSettings.size(); ++i)
            if (wiring_.settings().get(kListenerSettings[i], "\x01") != seen_[i]) return true;
        return false;
    }

    RelayWiring wiring_;
    Relay& relay_;
    std::array<std::string, kListenerSettings.size()> seen_;
    bool failing_ = false;    // the ports could not be opened; retrying
    bool failedNow_ = false;  // the restart under way failed
};

DWORD WINAPI onControl(DWORD control, DWORD, void*, void*) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        setStatus(SERVICE_STOP_PENDING);
        PostMessageA(hostWindow, kMsgStop, 0, 0);
        return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE:
        PostMessageA(hostWindow, kMsgParamChange, 0, 0);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    }
    return ERROR_CALL_NOT_IMPLEMENTED;
}

// Creates the host's window and runs the relay until a stop request; the exit code.
DWORD runHost() {
    HINSTANCE inst = GetModuleHandleA(nullptr);
    WNDCLASSA wc = {};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = inst;
    wc.lpszClassName = kWindowClass;
    RegisterClassA(&wc);
    hostWindow = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, inst,
                                 nullptr);
    if (!hostWindow) return GetLastError();
    DWORD result = NO_ERROR;
    try {
        ServiceHost host;
        if (statusHandle) setStatus(SERVICE_RUNNING);
        host.start();
        host.run();
    } catch (...) {
        // Nothing may leave through the service manager's thread; it restarts a failed service.
        result = ERROR_SERVICE_SPECIFIC_ERROR;
    }
    DestroyWindow(hostWindow);
    return result;
}

void WINAPI serviceMain(DWORD, LPSTR*) {
    statusHandle = RegisterServiceCtrlHandlerExA(kServiceName, onControl, nullptr);
    if (!statusHandle) return;
    setStatus(SERVICE_START_PENDING);
    setStatus(SERVICE_STOPPED, runHost());
}

}  // namespace

int runService() {
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(kServiceName), serviceMain},
                                    {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : static_cast<int>(GetLastError());
}

}  // namespace korrin
