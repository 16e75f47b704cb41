// The spool folder on Windows. Files are opened with delete sharing, so that a sent segment can
// be deleted while a reader still has it open; so can the folder's files be, by anyone, and the
// folder once they are gone: stillThere() asks the names whether they are still ours.
#pragma once

#include "server/net/journal_files.h"

namespace korrin {

class WinFolder final : public JournalFolder {
  public:
    explicit WinFolder(std::string path) : path_(std::move(path)) {}
    std::string path() const override { return path_; }
    bool create() override;
    bool list(std::vector<std::string>& names) override;
    std::unique_ptr<JournalFile> open(const std::string& name, bool create) override;
    bool remove(const std::string& name) override;
    bool rename(const std::string& from, const std::string& to) override;
    // NTFS keeps a created or deleted entry once the file's own data is flushed.
    bool sync() override { return true; }
    bool freeBytes(uint64_t& bytes) override;
    bool stillThere() override;
    std::string durabilityWarning() override;
    std::string lastError() const override { return error_; }

  private:
    bool failed();
    std::string at(const std::string& name) const { return path_ + "\\" + name; }
    std::string path_;
    std::string error_;
    // The volume serial and file index of the folder create() made or found.
    unsigned long volume_ = 0, indexHigh_ = 0, indexLow_ = 0;
    bool known_ = false;
};

}  // namespace korrin
