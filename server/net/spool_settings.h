// What the spool is set to, and how a front end gives it its folders.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "server/net/journal_files.h"

namespace korrin {

// Read at load: a change takes effect at the next start.
struct SpoolSettings {
    std::string folder;                           // "Spool": empty keeps the queue in memory only
    int syncMs = 200;                             // "SpoolSync": between flushes; 0 after each read
    uint64_t limitBytes = 1024ull * 1024 * 1024;  // "SpoolLimit", given in MiB
};

// Makes the file seam of a spool folder on this platform.
using FolderMaker = std::function<std::unique_ptr<JournalFolder>(const std::string& path)>;

}  // namespace korrin
