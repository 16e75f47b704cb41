// What a journal reports, kept for a test to look at: the notes as a list, and the lines lost.
#pragma once

#include <string>
#include <vector>

#include "server/net/journal.h"

namespace korrin {

struct NoteList : std::vector<std::string>, JournalReporter {
    uint64_t lines = 0;
    void note(const std::string& line) override { push_back(line); }
    void lost(uint64_t n) override { lines += n; }
};

}  // namespace korrin
