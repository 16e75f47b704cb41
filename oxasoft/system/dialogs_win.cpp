// Exports of the open-file and colour dialogs: modal on the calling thread, built from the
// caller's arguments on every call.
#include <windows.h>
// after windows.h
#include <commdlg.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string>

#include "oxasoft/frame/boundary_win.h"
#include "oxasoft/frame/fixed_buffer.h"
#include "oxasoft/frame/oxasoft.h"
#include "oxasoft/system/dialog_rules.h"

using namespace oxa;

namespace {

// The open-file request without the Windows 2000 fields (OPENFILENAME_SIZE_VERSION_400A).
constexpr DWORD kOpenRequestSize =
    offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(OPENFILENAMEA::lpTemplateName);

// The requests hold pointers and handles, so their sizes follow the architecture: the dialog
// functions expect the layout of the process's own bitness.
#ifdef _WIN64
static_assert(kOpenRequestSize == 136 && sizeof(CHOOSECOLORA) == 72, "x64 requests");
#else
static_assert(kOpenRequestSize == 76 && sizeof(CHOOSECOLORA) == 36, "32-bit requests");
#endif

}  // namespace

extern "C" {

OXA_BSTR OXA_CALL OPEN_FILE_DLG(long owner, const char* title, const char* file_name,
                                const char* directory, char* filter, long* flags) {
    return string_export([&]() -> std::string {
        const std::string_view filter_text = read_text(filter);
        const std::string filter_list = system::filter_area(filter_text);
        // Callers see the list as the dialog got it: "|" rewritten to NUL in their own text.
        if (filter) std::replace(filter, filter + filter_text.size(), '|', '\0');

        FixedBuffer<MAX_PATH> initial_dir(read_text(directory));
        if (initial_dir.text().empty()) GetCurrentDirectoryA(MAX_PATH, initial_dir.data());

        long dialog_flags = read_long(flags);
        if (dialog_flags == 0) {
            dialog_flags = system::kDefaultOpenFlags;
            write_long(flags, dialog_flags);
        }

        FixedBuffer<MAX_PATH> path(read_text(file_name));
        FixedBuffer<MAX_PATH> file_title;
        FixedBuffer<250> title_text(read_text(title));

        OPENFILENAMEA request;
        std::memset(&request, 0, sizeof request);
        request.lStructSize = kOpenRequestSize;
        request.hwndOwner = handle_from_long<HWND>(owner);
        request.lpstrFilter = filter_list.data();
        request.lpstrFile = path.data();
        request.nMaxFile = path.size();
        request.lpstrFileTitle = file_title.data();
        request.nMaxFileTitle = file_title.size();
        request.lpstrInitialDir = initial_dir.data();
        request.lpstrTitle = title_text.text().empty() ? nullptr : title_text.data();
        request.Flags = static_cast<DWORD>(dialog_flags);
        request.lpstrDefExt = "";  // not null: an empty default extension
        if (!GetOpenFileNameA(&request)) return {};
        return std::string(path.text());
    });
}

long OXA_CALL SHOW_COLOR(long owner, const long* colour) {
    return guarded(0L, [&] {
        // A fresh table each call: custom colours chosen before are not kept.
        std::array<COLORREF, 255> custom{};
        CHOOSECOLORA request;
        std::memset(&request, 0, sizeof request);
        request.lStructSize = sizeof request;
        request.hwndOwner = handle_from_long<HWND>(owner);
        request.rgbResult = static_cast<COLORREF>(read_long(colour));
        request.lpCustColors = custom.data();
        request.Flags = CC_RGBINIT;
        return ChooseColorA(&request) ? static_cast<long>(request.rgbResult) : 0L;
    });
}

}  // extern "C"
