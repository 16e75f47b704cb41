// The service's run: the relay wired as in the window, driven by a message loop of its own;
// the service manager's requests arrive as messages of that loop.
#include <windows.h>
#include <shlobj.h>

#include <atomic>
#include <memory>
#include <string>

#include "server/service/service_win.h"
#include "server/win32/relay_wiring_win.h"
#include "server/win32/window_win.h"

namespace korrin {

namespace {

constexpr UINT kMsgStop = WM_APP + 2;
constexpr UINT kMsgParamChange = WM_APP + 3;
constexpr DWORD kPendingHintMs = 10000;
constexpr DWORD kUnexpectedFault = 1;  // service-specific exit code: an exception ended the run
constexpr char kWindowClass[] = "KorrinServiceHost";

// <common application data>\Oxa Software\Korrin Server\, made when missing: the program's own
// folder is not writable for the service's account. The shell knows the folder on every
// Windows since XP, also where the service's environment does not.
std::string logDirectory() {
    char base[MAX_PATH] = {};
    if (FAILED(
            SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, base)))
        return {};
    std::string dir = base;
    for (const char* part : {kSettingsApplication, kServiceDisplayName}) {
        dir += std::string("\\") + part;
        CreateDirectoryA(dir.c_str(), nullptr);
    }
    return dir + "\\";
}

// One run of the service: owns the status handle and the host window, and is the context of
// the control handler. The service manager's requests map onto the relay's driver.
class ServiceHost final : private Window {
  public:
    // From the service's main function to its stop.
    void serve() {
        const bool haveWindow = createMessageOnly(kWindowClass);
        const DWORD windowError = GetLastError();
        status_ = RegisterServiceCtrlHandlerExA(kServiceName, onControl, this);
        if (!status_) return;
        if (!haveWindow) {
            report(SERVICE_STOPPED, windowError);
            return;
        }
        report(SERVICE_START_PENDING);
        DWORD specific = 0;
        try {
            wiring_ =
                std::make_unique<RelayWiring>(HKEY_LOCAL_MACHINE, logDirectory() + "IpError.txt",
                                              view_, UnattendedRelay::RelayPorts::Retried);
            report(SERVICE_RUNNING);
            wiring_->driver().start();
            run();
        } catch (...) {
            // Nothing may leave through the service manager's thread; a stop with an error
            // makes the manager run the recovery actions.
            specific = kUnexpectedFault;
        }
        wiring_.reset();
        report(SERVICE_STOPPED, specific ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR, specific);
    }

  private:
    // Runs on the service manager's thread: only reports and posts.
    static DWORD WINAPI onControl(DWORD control, DWORD, void*, void* context) {
        auto* self = static_cast<ServiceHost*>(context);
        switch (control) {
            case SERVICE_CONTROL_STOP:
            case SERVICE_CONTROL_SHUTDOWN:
                self->report(SERVICE_STOP_PENDING);
                self->stopAsked_ = true;
                PostMessageA(self->hwnd(), kMsgStop, 0, 0);  // wakes an idle loop
                return NO_ERROR;
            case SERVICE_CONTROL_PARAMCHANGE:
                PostMessageA(self->hwnd(), kMsgParamChange, 0, 0);
                return NO_ERROR;
            case SERVICE_CONTROL_INTERROGATE:
                return NO_ERROR;
        }
        return ERROR_CALL_NOT_IMPLEMENTED;
    }

    void report(DWORD state, DWORD exitCode = NO_ERROR, DWORD specificExit = 0) {
        SERVICE_STATUS s = {};
        s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        s.dwCurrentState = state;
        s.dwControlsAccepted =
            state == SERVICE_RUNNING
                ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE
                : 0;
        s.dwWin32ExitCode = exitCode;
        s.dwServiceSpecificExitCode = specificExit;
        const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
        s.dwCheckPoint = pending ? ++checkPoint_ : 0;
        s.dwWaitHint = pending ? kPendingHintMs : 0;
        SetServiceStatus(status_, &s);
    }

    Relay& relay() { return wiring_->relay(); }

    // The message loop; returns when the service has been asked to stop. The stop, the due
    // send step and the due retry go ahead of every other message: WM_QUIT and WM_TIMER come
    // only when the queue is empty, which a flood of socket messages never lets it be.
    void run() {
        MSG m;
        while (GetMessageA(&m, nullptr, 0, 0) > 0) {
            if (stopAsked_) {
                stop();
                return;
            }
            wiring_->runDueTicks();
            DispatchMessageA(&m);
        }
    }

    // Nobody new comes in, and every peer goes, before the rest is taken down.
    void stop() {
        relay().unload();
        report(SERVICE_STOP_PENDING);
    }

    LRESULT onMessage(UINT msg, WPARAM wp, LPARAM lp) override {
        switch (msg) {
            case kMsgStop:  // the loop stops before it
                return 0;
            case kMsgParamChange:
                wiring_->driver().settingsMayHaveChanged();
                return 0;
        }
        return Window::onMessage(msg, wp, lp);
    }

    SERVICE_STATUS_HANDLE status_ = nullptr;
    std::atomic<DWORD> checkPoint_{0};
    std::atomic<bool> stopAsked_{false};
    NoView view_;
    std::unique_ptr<RelayWiring> wiring_;
};

void WINAPI serviceMain(DWORD, LPSTR*) {
    ServiceHost host;
    host.serve();
}

}  // namespace

int runService() {
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(kServiceName), serviceMain},
                                    {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : static_cast<int>(GetLastError());
}

}  // namespace korrin
