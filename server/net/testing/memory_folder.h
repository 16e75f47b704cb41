// A spool folder in memory, for the journal's tests and its fuzz target: a disk that can fill
// up, whose flushes can fail, whose files can be torn or damaged at will, and that can be
// deleted under its open files.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "server/net/journal_files.h"

namespace korrin {

class MemoryFolder final : public JournalFolder {
  public:
    std::map<std::string, std::shared_ptr<std::string>> files;
    uint64_t spaceLeft = UINT64_MAX;  // bytes a write may still add; past it, "disk full"
    bool broken = false;              // every call fails, as in a folder that went away
    int failingSyncs = 0;             // the next file flushes that fail
    std::set<std::string> unopenable, sizeless;  // files that cannot be opened, or sized
    // A failed flush loses what was written since the last good one, as a disk may.
    bool dropUnsynced = false;
    bool deleted = false;  // gone with its files (rm -rf) until create() makes it again
    std::string warning;   // what durabilityWarning() says
    void deleteFolder() {
        files.clear();
        deleted = true;
    }

    std::string path() const override { return "mem"; }
    bool create() override {
        if (broken) return ok();
        deleted = false;
        return ok();
    }
    bool list(std::vector<std::string>& names) override {
        if (!ok()) return false;
        for (const auto& f : files) names.push_back(f.first);
        return true;
    }
    std::unique_ptr<JournalFile> open(const std::string& name, bool create) override;
    bool remove(const std::string& name) override {
        if (!ok() || !files.count(name)) return false;
        if (spaceLeft != UINT64_MAX) spaceLeft += files[name]->size();
        return files.erase(name) == 1;
    }
    bool rename(const std::string& from, const std::string& to) override {
        if (!ok() || !files.count(from)) return false;
        files[to] = files[from];
        files.erase(from);
        return true;
    }
    bool sync() override { return ok(); }
    bool freeBytes(uint64_t& bytes) override {
        bytes = spaceLeft;
        return ok();
    }
    bool stillThere() override { return !deleted; }
    std::string durabilityWarning() override { return warning; }
    std::string lastError() const override { return error_; }

  private:
    friend class MemoryFile;
    // The folder's own calls; an open file is used on without it, as a descriptor is.
    bool ok() {
        error_ = broken ? "Input/output error" : deleted ? "No such file or directory" : "";
        return !broken && !deleted;
    }
    bool io() {
        error_ = broken ? "Input/output error" : "";
        return !broken;
    }
    std::string error_;
};

class MemoryFile final : public JournalFile {
  public:
    MemoryFile(MemoryFolder& folder, std::shared_ptr<std::string> data)
        : folder_(folder), data_(std::move(data)), durable_(folder.dropUnsynced ? *data_ : "") {}
    bool sizeless = false;
    bool size(uint64_t& bytes) override {
        if (sizeless) folder_.error_ = "Input/output error";
        bytes = sizeless ? 0 : data_->size();
        return !sizeless && folder_.io();
    }
    int64_t readAt(uint64_t offset, void* out, size_t n) override {
        if (!folder_.io()) return -1;
        if (offset >= data_->size()) return 0;
        n = std::min<size_t>(n, data_->size() - static_cast<size_t>(offset));
        std::memcpy(out, data_->data() + offset, n);
        return static_cast<int64_t>(n);
    }
    bool writeAt(uint64_t offset, const void* in, size_t n) override {
        if (!folder_.io()) return false;
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
        if (!folder_.io()) return false;
        data_->resize(static_cast<size_t>(size));
        return true;
    }
    bool sync() override {
        if (!folder_.io()) return false;
        if (folder_.failingSyncs > 0) {
            --folder_.failingSyncs;
            folder_.error_ = "Input/output error";
            if (folder_.dropUnsynced) *data_ = durable_;
            return false;
        }
        if (folder_.dropUnsynced) durable_ = *data_;
        return true;
    }
    bool stillThere() override {
        for (const auto& f : folder_.files)
            if (f.second == data_) return true;
        return false;
    }

  private:
    MemoryFolder& folder_;
    std::shared_ptr<std::string> data_;
    std::string durable_;  // what the disk holds, with dropUnsynced
};

inline std::unique_ptr<JournalFile> MemoryFolder::open(const std::string& name, bool create) {
    if (!ok()) return nullptr;
    if (unopenable.count(name)) {
        error_ = "Permission denied";
        return nullptr;
    }
    auto it = files.find(name);
    if (it == files.end()) {
        if (!create) return nullptr;
        it = files.emplace(name, std::make_shared<std::string>()).first;
    }
    auto file = std::make_unique<MemoryFile>(*this, it->second);
    file->sizeless = sizeless.count(name) > 0;
    return file;
}

}  // namespace korrin
