// The spool's seam to the file system: the journal never opens a file itself, so the same code
// and tests serve both platforms and an in-memory folder can stand in for the disk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korrin {

// One open file, read and written at 64-bit offsets (a 32-bit program included).
class JournalFile {
  public:
    virtual ~JournalFile() = default;
    // The file's length in bytes; false when it cannot be learnt (never taken for 0).
    virtual bool size(uint64_t& bytes) = 0;
    // Up to n bytes from offset; fewer only at the end of the file; -1 on a read error.
    virtual int64_t readAt(uint64_t offset, void* data, size_t n) = 0;
    // All n bytes at offset, or false (part of them may have been written).
    virtual bool writeAt(uint64_t offset, const void* data, size_t n) = 0;
    virtual bool truncate(uint64_t size) = 0;
    // Puts what was written on stable storage.
    virtual bool sync() = 0;
    // False only when the file surely lost its name (deleted, or another file took it): what
    // is written to it then is on no disk anyone will read. An error that says neither is true.
    virtual bool stillThere() = 0;
};

// The spool folder. A failed call leaves its reason in lastError().
class JournalFolder {
  public:
    virtual ~JournalFolder() = default;
    virtual std::string path() const = 0;
    // Makes the folder (and its parents) when missing.
    virtual bool create() = 0;
    // The names of the files in it.
    virtual bool list(std::vector<std::string>& names) = 0;
    // Opens a file for reading and writing; create: make it when missing. Null on failure.
    virtual std::unique_ptr<JournalFile> open(const std::string& name, bool create) = 0;
    virtual bool remove(const std::string& name) = 0;
    virtual bool rename(const std::string& from, const std::string& to) = 0;
    // Puts the folder's entries on stable storage, so that a created or deleted file stays so.
    virtual bool sync() = 0;
    // The bytes this program may still write on the folder's volume.
    virtual bool freeBytes(uint64_t& bytes) = 0;
    // False only when the path surely no longer names the folder create() made or found
    // (deleted, or replaced by another); an error that says neither is true.
    virtual bool stillThere() = 0;
    // Empty on a volume where a flushed write survives a power loss; otherwise what the volume
    // is ("a FAT32 volume", "a network volume"), for one warning at open.
    virtual std::string durabilityWarning() = 0;
    virtual std::string lastError() const = 0;
};

}  // namespace korrin
