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

OVERLAPPED at(uint64_t offset) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

class WinFile final : public JournalFile {
  public:
    WinFile(oxa::UniqueFile h, std::string& error) : h_(std::move(h)), error_(error) {}
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

  private:
    template <typename T>
    T failed(T value) {
        error_ = systemText(GetLastError());
        return value;
    }
    oxa::UniqueFile h_;
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
    return true;
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
    return std::make_unique<WinFile>(std::move(h), error_);
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
