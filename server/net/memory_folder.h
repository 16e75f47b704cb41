// A spool folder in memory, for the journal's tests and its fuzz target: a disk that can fill
// up and whose files can be torn or damaged at will.
#pragma once

#include <cstring>
#include <map>
#include <memory>

#include "server/net/journal_files.h"

namespace korrin {

class MemoryFolder final : public JournalFolder {
  public:
    std::map<std::string, std::shared_ptr<std::string>> files;
    uint64_t spaceLeft = UINT64_MAX;  // bytes a write may still add; past it, "disk full"
    bool broken = false;              // every call fails, as in a folder that went away

    std::string path() const override { return "mem"; }
    bool create() override { return ok(); }
    bool list(std::vector<std::string>& names) override {
        if (!ok()) return false;
        for (const auto& f : files) names.push_back(f.first);
        return true;
    }
    std::unique_ptr<JournalFile> open(const std::string& name, bool create) override;
    bool remove(const std::string& name) override { return ok() && files.erase(name) == 1; }
    bool rename(const std::string& from, const std::string& to) override {
        if (!ok() || !files.count(from)) return false;
        files[to] = files[from];
        files.erase(from);
        return true;
    }
    bool sync() override { return ok(); }
    std::string lastError() const override { return error_; }

  private:
    friend class MemoryFile;
    bool ok() {
        error_ = broken ? "Input/output error" : "";
        return !broken;
    }
    std::string error_;
};

class MemoryFile final : public JournalFile {
  public:
    MemoryFile(MemoryFolder& folder, std::shared_ptr<std::string> data)
        : folder_(folder), data_(std::move(data)) {}
    uint64_t size() override { return data_->size(); }
    int64_t readAt(uint64_t offset, void* out, size_t n) override {
        if (!folder_.ok()) return -1;
        if (offset >= data_->size()) return 0;
        n = std::min<size_t>(n, data_->size() - static_cast<size_t>(offset));
        std::memcpy(out, data_->data() + offset, n);
        return static_cast<int64_t>(n);
    }
    bool writeAt(uint64_t offset, const void* in, size_t n) override {
        if (!folder_.ok()) return false;
        const uint64_t end = offset + n;
        const uint64_t grow = end > data_->size() ? end - data_->size() : 0;
        if (grow > folder_.spaceLeft) {
            folder_.error_ = "No space left on device";
            return false;
        }
        folder_.spaceLeft -= grow;
        if (grow) data_->resize(static_cast<size_t>(end));
        std::memcpy(&(*data_)[static_cast<size_t>(offset)], in, n);
        return true;
    }
    bool truncate(uint64_t size) override {
        if (!folder_.ok()) return false;
        data_->resize(static_cast<size_t>(size));
        return true;
    }
    bool sync() override { return folder_.ok(); }

  private:
    MemoryFolder& folder_;
    std::shared_ptr<std::string> data_;
};

inline std::unique_ptr<JournalFile> MemoryFolder::open(const std::string& name, bool create) {
    if (!ok()) return nullptr;
    auto it = files.find(name);
    if (it == files.end()) {
        if (!create) return nullptr;
        it = files.emplace(name, std::make_shared<std::string>()).first;
    }
    return std::make_unique<MemoryFile>(*this, it->second);
}

}  // namespace korrin
