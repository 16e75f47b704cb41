// Entry routine of oxasoft.dll. The library keeps no state, so there is nothing to set up or
// tear down on any notification.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
