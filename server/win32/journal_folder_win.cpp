#include "server/win32/journal_folder_win.h"

#include <windows.h>

#include "common/win32_handles.h"

namespace korrin {
namespace {

std::string systemText(DWORD code) {
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) --n;
    return n ? std::string(text, n) : "error " + std::to_string(code);
}

// Opens a name only to learn what it is (a folder too); no access asked, every sharing given.
oxa::UniqueFile openToAsk(const std::string& path) {
    return oxa::UniqueFile(
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// Whether a name that cannot be opened surely names nothing: missing, or a file whose delete
// is pending (it goes with its last handle).
bool surelyGone(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_ACCESS_DENIED;
}

bool sameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x, y;
    if (!GetFileInformationByHandle(a, &x) || !GetFileInformationByHandle(b, &y)) return true;
    return x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

OVERLAPPED at(uint64_t offset) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

class WinFile final : public JournalFile {
  public:
    WinFile(oxa::UniqueFile h, std::string path, std::string& error)
        : h_(std::move(h)), path_(std::move(path)), error_(error) {}
    bool size(uint64_t& bytes) override {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(h_.get(), &size)) return failed(false);
        bytes = static_cast<uint64_t>(size.QuadPart);
        return true;
    }
    int64_t readAt(uint64_t offset, void* data, size_t n) override {
        size_t done = 0;
        while (done < n) {
            OVERLAPPED o = at(offset + done);
            DWORD got = 0;
            const DWORD want = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 30));
            if (!ReadFile(h_.get(), static_cast<char*>(data) + done, want, &got, &o)) {
                if (GetLastError() == ERROR_HANDLE_EOF) break;
                return failed(-1);
            }
            if (got == 0) break;
            done += got;
        }
        return static_cast<int64_t>(done);
    }
    bool writeAt(uint64_t offset, const void* data, size_t n) override {
        size_t done = 0;
        while (done < n) {
            OVERLAPPED o = at(offset + done);
            DWORD put = 0;
            const DWORD want = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 30));
            if (!WriteFile(h_.get(), static_cast<const char*>(data) + done, want, &put, &o))
                return failed(false);
            if (put == 0) {
                SetLastError(ERROR_DISK_FULL);
                return failed(false);
            }
            done += put;
        }
        return true;
    }
    bool truncate(uint64_t size) override {
        LARGE_INTEGER to;
        to.QuadPart = static_cast<LONGLONG>(size);
        return (SetFilePointerEx(h_.get(), to, nullptr, FILE_BEGIN) && SetEndOfFile(h_.get())) ||
               failed(false);
    }
    bool sync() override { return FlushFileBuffers(h_.get()) || failed(false); }
    bool stillThere() override {
        const oxa::UniqueFile named = openToAsk(path_);
        if (!named) return !surelyGone(GetLastError());
        return sameFile(h_.get(), named.get());
    }

  private:
    template <typename T>
    T failed(T value) {
        error_ = systemText(GetLastError());
        return value;
    }
    oxa::UniqueFile h_;
    std::string path_;
    std::string& error_;
};

}  // namespace

bool WinFolder::failed() {
    error_ = systemText(GetLastError());
    return false;
}

bool WinFolder::create() {
    // Each missing parent in turn; "C:" and a share's "\\server\share" exist or fail below.
    for (size_t i = 0; i <= path_.size(); ++i) {
        if (i < path_.size() && path_[i] != '\\' && path_[i] != '/') continue;
        const std::string part = path_.substr(0, i);
        if (part.empty() || part.back() == ':' ||
            part.find_first_not_of("\\/") == std::string::npos)
            continue;
        if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS &&
            GetLastError() != ERROR_ACCESS_DENIED)
            return failed();
    }
    const DWORD attributes = GetFileAttributesA(path_.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return failed();
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_DIRECTORY);
        return failed();
    }
    const oxa::UniqueFile folder = openToAsk(path_);
    BY_HANDLE_FILE_INFORMATION info;
    if (folder && GetFileInformationByHandle(folder.get(), &info)) {
        volume_ = info.dwVolumeSerialNumber;
        indexHigh_ = info.nFileIndexHigh;
        indexLow_ = info.nFileIndexLow;
        known_ = true;
    }
    return true;
}

bool WinFolder::stillThere() {
    const oxa::UniqueFile folder = openToAsk(path_);
    if (!folder) return !surelyGone(GetLastError());
    BY_HANDLE_FILE_INFORMATION info;
    if (!known_ || !GetFileInformationByHandle(folder.get(), &info)) return true;
    return info.dwVolumeSerialNumber == volume_ && info.nFileIndexHigh == indexHigh_ &&
           info.nFileIndexLow == indexLow_;
}

std::string WinFolder::durabilityWarning() {
    // NTFS and ReFS journal their own metadata; FAT and exFAT do not, and a share's server
    // decides for itself what a flush means.
    char root[MAX_PATH];
    if (!GetVolumePathNameA(path_.c_str(), root, sizeof root)) return "";
    if (GetDriveTypeA(root) == DRIVE_REMOTE) return "a network volume";
    char system[MAX_PATH] = "";
    if (!GetVolumeInformationA(root, nullptr, 0, nullptr, nullptr, nullptr, system, sizeof system))
        return "";
    const std::string kind = system;
    return kind == "NTFS" || kind == "ReFS" ? "" : "a " + kind + " volume";
}

bool WinFolder::list(std::vector<std::string>& names) {
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA(at("*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND || failed();
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.emplace_back(found.cFileName);
    } while (FindNextFileA(h, &found));
    FindClose(h);
    return true;
}

std::unique_ptr<JournalFile> WinFolder::open(const std::string& name, bool create) {
    oxa::UniqueFile h(CreateFileA(at(name).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!h) {
        failed();
        return nullptr;
    }
    return std::make_unique<WinFile>(std::move(h), at(name), error_);
}

bool WinFolder::freeBytes(uint64_t& bytes) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExA(path_.c_str(), &available, nullptr, nullptr)) return failed();
    bytes = available.QuadPart;
    return true;
}

bool WinFolder::remove(const std::string& name) {
    return DeleteFileA(at(name).c_str()) || failed();
}

bool WinFolder::rename(const std::string& from, const std::string& to) {
    return MoveFileExA(at(from).c_str(), at(to).c_str(), MOVEFILE_REPLACE_EXISTING) || failed();
}

}  // namespace korrin
