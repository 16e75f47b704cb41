#include "server/linux/journal_folder_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/unique_fd.h"

namespace korrin {
namespace {

class PosixFile final : public JournalFile {
  public:
    PosixFile(oxa::UniqueFd fd, std::string& error) : fd_(std::move(fd)), error_(error) {}
    bool size(uint64_t& bytes) override {
        struct stat st;
        if (fstat(fd_.get(), &st) != 0) return failed(false);
        bytes = static_cast<uint64_t>(st.st_size);
        return true;
    }
    int64_t readAt(uint64_t offset, void* data, size_t n) override {
        size_t done = 0;
        while (done < n) {
            const ssize_t got = pread(fd_.get(), static_cast<char*>(data) + done, n - done,
                                      static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return failed(-1);
            if (got == 0) break;
            done += static_cast<size_t>(got);
        }
        return static_cast<int64_t>(done);
    }
    bool writeAt(uint64_t offset, const void* data, size_t n) override {
        size_t done = 0;
        while (done < n) {
            const ssize_t put = pwrite(fd_.get(), static_cast<const char*>(data) + done, n - done,
                                       static_cast<off_t>(offset + done));
            if (put < 0 && errno == EINTR) continue;
            if (put == 0) errno = ENOSPC;
            if (put <= 0) return failed(false);
            done += static_cast<size_t>(put);
        }
        return true;
    }
    bool truncate(uint64_t size) override {
        return ftruncate(fd_.get(), static_cast<off_t>(size)) == 0 || failed(false);
    }
    bool sync() override { return fdatasync(fd_.get()) == 0 || failed(false); }
    bool stillThere() override {
        struct stat st;
        return fstat(fd_.get(), &st) != 0 || st.st_nlink > 0;
    }

  private:
    template <typename T>
    T failed(T value) {
        error_ = std::strerror(errno);
        return value;
    }
    oxa::UniqueFd fd_;
    std::string& error_;
};

}  // namespace

bool PosixFolder::failed() {
    error_ = std::strerror(errno);
    return false;
}

bool PosixFolder::create() {
    // Each missing parent in turn, as mkdir -p does.
    for (size_t at = 1; at <= path_.size(); ++at) {
        if (at < path_.size() && path_[at] != '/') continue;
        const std::string part = path_.substr(0, at);
        if (mkdir(part.c_str(), 0750) != 0 && errno != EEXIST) return failed();
    }
    struct stat st;
    if (stat(path_.c_str(), &st) != 0) return failed();
    if (!S_ISDIR(st.st_mode)) {
        error_ = "Not a directory";
        return false;
    }
    // Writing is what the spool needs of it; a read-only folder fails here, not at the first line.
    if (access(path_.c_str(), W_OK | X_OK) != 0) return failed();
    device_ = st.st_dev;
    inode_ = st.st_ino;
    return true;
}

bool PosixFolder::stillThere() {
    struct stat st;
    if (stat(path_.c_str(), &st) != 0) return errno != ENOENT && errno != ENOTDIR;
    return st.st_dev == device_ && st.st_ino == inode_;
}

std::string PosixFolder::durabilityWarning() {
    // The kinds whose flushes a power loss may undo, or that live in memory only.
    struct statfs st;
    if (statfs(path_.c_str(), &st) != 0) return "";
    switch (static_cast<unsigned long>(st.f_type)) {
        case 0x6969:
            return "a network volume (NFS)";
        case 0xFF534D42:
        case 0xFE534D42:
        case 0x517B:
            return "a network volume (SMB)";
        case 0x4D44:
            return "a FAT volume";
        case 0x2011BAB0:
            return "an exFAT volume";
        case 0x01021994:
        case 0x858458F6:
            return "a file system in memory (tmpfs), emptied at every reboot";
        default:
            return "";
    }
}

bool PosixFolder::list(std::vector<std::string>& names) {
    DIR* dir = opendir(path_.c_str());
    if (!dir) return failed();
    while (const dirent* e = readdir(dir))
        if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    closedir(dir);
    return true;
}

std::unique_ptr<JournalFile> PosixFolder::open(const std::string& name, bool create) {
    oxa::UniqueFd fd(::open(at(name).c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0640));
    if (!fd) {
        failed();
        return nullptr;
    }
    return std::make_unique<PosixFile>(std::move(fd), error_);
}

bool PosixFolder::remove(const std::string& name) {
    return unlink(at(name).c_str()) == 0 || failed();
}

bool PosixFolder::rename(const std::string& from, const std::string& to) {
    return ::rename(at(from).c_str(), at(to).c_str()) == 0 || failed();
}

bool PosixFolder::freeBytes(uint64_t& bytes) {
    struct statvfs st;
    if (statvfs(path_.c_str(), &st) != 0) return failed();
    bytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
    return true;
}

bool PosixFolder::sync() {
    oxa::UniqueFd dir(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return (dir && fsync(dir.get()) == 0) || failed();
}

}  // namespace korrin
