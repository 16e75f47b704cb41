// Installing, removing and asking after the service through the service manager.
#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>

#include <string>

#include "common/win32_handles.h"
#include "server/service/service_win.h"
#include "server/win32/journal_folder_win.h"
#include "server/win32/registry_settings_win.h"

namespace korrin {

namespace {

struct ScTraits {
    using type = SC_HANDLE;
    static type invalid() { return nullptr; }
    static void close(type h) { CloseServiceHandle(h); }
};
using ScHandle = oxa::UniqueHandle<ScTraits>;

// A low-privilege account that every Windows since XP has.
constexpr char kAccount[] = "NT AUTHORITY\\LocalService";
constexpr char kDescription[] =
    "Relays text lines from the senders on its input port to every receiver on its output port.";

int lastError() {
    return static_cast<int>(GetLastError());
}

// The service manager hands a new service process its start message through a pipe. When the
// process goes away before it took the message whole (seen as the first start in a freshly made
// Wine prefix, while the prefix still sets itself up), the start fails with one of these
// (ERROR_WRITE_FAULT, 29, in Wine's service manager) and a second start works.
bool startMessageLost(DWORD error) {
    return error == ERROR_WRITE_FAULT || error == ERROR_READ_FAULT || error == ERROR_BROKEN_PIPE ||
           error == ERROR_PIPE_NOT_CONNECTED;
}

// Starts the service; a start whose message was lost is tried twice more, a second apart.
// Other failures (a timeout among them, which took 30 s already) are reported at once.
DWORD startService(SC_HANDLE svc) {
    for (int attempt = 1;; ++attempt) {
        if (StartServiceA(svc, 0, nullptr)) return NO_ERROR;
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_ALREADY_RUNNING) return NO_ERROR;
        if (!startMessageLost(error) || attempt == 3) return error;
        Sleep(1000);
    }
}

std::string serviceCommand() {
    char path[MAX_PATH * 4] = {};
    GetModuleFileNameA(nullptr, path, sizeof path);
    return "\"" + std::string(path) + "\" /service";
}

// The service runs as LocalService: the spool folder must be its to write, whoever made it.
void grantLocalService(const std::string& path) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    if (!CreateWellKnownSid(WinLocalServiceSid, nullptr, sid, &sidSize)) return;
    PACL old = nullptr, updated = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &old, nullptr, &descriptor) != ERROR_SUCCESS)
        return;
    EXPLICIT_ACCESS_A access = {};
    access.grfAccessPermissions = GENERIC_ALL;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = reinterpret_cast<LPSTR>(sid);
    if (SetEntriesInAclA(1, &access, old, &updated) == ERROR_SUCCESS)
        SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION, nullptr, nullptr, updated, nullptr);
    LocalFree(updated);
    LocalFree(descriptor);
}

// A service keeps what it read across restarts unless told otherwise: "Spool" is set to a
// folder under the machine's program data when it is absent. One already set stays as it is.
void setDefaultSpool() {
    oxa::UniqueHkey key;
    const std::string sub =
        std::string("Software\\") + kSettingsApplication + "\\" + kSettingsSection;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      key.put()) == ERROR_SUCCESS &&
        RegQueryValueExA(key.get(), "Spool", nullptr, nullptr, nullptr, nullptr) !=
            ERROR_FILE_NOT_FOUND)
        return;
    char data[MAX_PATH];
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, data))) return;
    const std::string folder = std::string(data) + "\\Oxa Software\\Korrin Server\\Spool";
    RegistrySettings(HKEY_LOCAL_MACHINE, kSettingsApplication, kSettingsSection)
        .save("Spool", folder);
    WinFolder spool(folder);
    if (spool.create()) grantLocalService(folder);
}

}  // namespace

int installService() {
    ScHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!scm) return lastError();
    const std::string command = serviceCommand();
    const DWORD access = SERVICE_CHANGE_CONFIG | SERVICE_START | SERVICE_QUERY_STATUS;
    ScHandle svc(CreateServiceA(scm.get(), kServiceName, kServiceDisplayName, access,
                                SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                command.c_str(), nullptr, nullptr, nullptr, kAccount, ""));
    if (!svc && GetLastError() == ERROR_SERVICE_EXISTS) {
        // Installed before, perhaps from another folder: it now runs this program.
        svc.reset(OpenServiceA(scm.get(), kServiceName, access));
        if (svc && !ChangeServiceConfigA(svc.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                         SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                         nullptr, kAccount, "", kServiceDisplayName))
            return lastError();
    }
    if (!svc) return lastError();
    SERVICE_DESCRIPTIONA description = {const_cast<char*>(kDescription)};
    ChangeServiceConfig2A(svc.get(), SERVICE_CONFIG_DESCRIPTION, &description);
    // Restarted 5 s after a failure, again 5 s after a second one, then after a minute; the
    // count starts afresh after a day without failures.
    SC_ACTION actions[] = {
        {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSA failure = {24 * 60 * 60, nullptr, nullptr, 3, actions};
    ChangeServiceConfig2A(svc.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
    // Also when the service stops with an error of its own, not only when it crashes. Vista
    // and later; XP refuses the level and keeps the actions for crashes.
    struct {
        BOOL fFailureActionsOnNonCrashFailures;  // SERVICE_FAILURE_ACTIONS_FLAG, Vista headers
    } onErrors = {TRUE};
    ChangeServiceConfig2A(svc.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrors);
    setDefaultSpool();
    return static_cast<int>(startService(svc.get()));
}

int uninstallService() {
    ScHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return lastError();
    ScHandle svc(
        OpenServiceA(scm.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!svc) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? 0 : lastError();
    SERVICE_STATUS_PROCESS info = {};
    DWORD needed = 0;
    QueryServiceStatusEx(svc.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&info),
                         sizeof info, &needed);
    oxa::UniqueKernelHandle process(
        info.dwProcessId ? OpenProcess(SYNCHRONIZE, FALSE, info.dwProcessId) : nullptr);
    SERVICE_STATUS status = {};
    if (ControlService(svc.get(), SERVICE_CONTROL_STOP, &status)) {
        for (int waited = 0; waited < 20000 && status.dwCurrentState != SERVICE_STOPPED;
             waited += 200) {
            Sleep(200);
            if (!QueryServiceStatus(svc.get(), &status)) break;
        }
    }
    // The program file is free only once the process has ended.
    if (process) WaitForSingleObject(process.get(), 10000);
    if (!DeleteService(svc.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        return lastError();
    return 0;
}

bool serviceRunning() {
    ScHandle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return false;
    ScHandle svc(OpenServiceA(scm.get(), kServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status = {};
    if (!svc || !QueryServiceStatus(svc.get(), &status)) return false;
    return status.dwCurrentState == SERVICE_RUNNING ||
           status.dwCurrentState == SERVICE_START_PENDING;
}

}  // namespace korrin
