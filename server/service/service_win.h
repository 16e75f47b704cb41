// Korrin Server as a Windows service: the same relay without a window, its settings under
// HKEY_LOCAL_MACHINE and its error log under %ProgramData%.
#pragma once

namespace korrin {

constexpr char kServiceName[] = "KorrinServer";
constexpr char kServiceDisplayName[] = "Korrin Server";

// "KorrinServer.exe /service", as the service manager starts it; the process exit code.
int runService();

// "/install" (installs and starts the service) and "/uninstall" (stops and removes it); 0 or
// a Win32 error code. Both need an administrator.
int installService();
int uninstallService();

// The service runs (or is starting) on this computer.
bool serviceRunning();

}  // namespace korrin
