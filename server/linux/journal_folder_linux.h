// The spool folder on a POSIX file system.
#pragma once

#include "server/net/journal_files.h"

namespace korrin {

class PosixFolder final : public JournalFolder {
  public:
    explicit PosixFolder(std::string path) : path_(std::move(path)) {}
    std::string path() const override { return path_; }
    bool create() override;
    bool list(std::vector<std::string>& names) override;
    std::unique_ptr<JournalFile> open(const std::string& name, bool create) override;
    bool remove(const std::string& name) override;
    bool rename(const std::string& from, const std::string& to) override;
    bool sync() override;
    bool freeBytes(uint64_t& bytes) override;
    bool stillThere() override;
    std::string durabilityWarning() override;
    std::string lastError() const override { return error_; }

  private:
    bool failed();
    std::string at(const std::string& name) const { return path_ + "/" + name; }
    std::string path_;
    std::string error_;
    uint64_t device_ = 0, inode_ = 0;  // of the folder create() made or found
};

}  // namespace korrin
