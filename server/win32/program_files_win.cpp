#include "server/win32/program_files_win.h"

#include "common/win32_handles.h"

namespace korrin {

void FileErrorLog::append(std::string_view line) {
    // Open for this one line only, so that the operator can move or empty the file any time.
    oxa::UniqueFile f(CreateFileA(path_.c_str(), FILE_APPEND_DATA,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return;
    DWORD written = 0;
    WriteFile(f.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

std::string programDirectory() {
    char path[MAX_PATH * 4] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string p(path, n);
    size_t cut = p.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : p.substr(0, cut + 1);
}

}  // namespace korrin
