// Any bytes as a spool segment: recovery never fails on them; the lines it keeps are sound
// records of those bytes, in order, the sound records at the front among them, with nothing
// made up; only a torn end is cut, and new lines never take a number seen.
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "server/net/journal.h"
#include "server/net/testing/journal_notes.h"
#include "server/net/testing/memory_folder.h"

using korrin::Journal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    // The sound prefix, decoded on its own, and every sound record at any offset.
    std::vector<std::string> prefix;
    size_t prefixEnd = 0;
    for (std::string_view rest = bytes;;) {
        const Journal::Decoded d = Journal::decode(rest);
        if (d.kind != Journal::Decoded::kRecord || d.seq != prefix.size() + 1) break;
        prefix.emplace_back(d.line);
        rest.remove_prefix(d.size);
        prefixEnd += d.size;
    }
    std::set<std::pair<uint64_t, std::string>> sound;
    for (size_t at = 0; at < size; ++at) {
        const Journal::Decoded d = Journal::decode(std::string_view(bytes).substr(at));
        if (d.kind == Journal::Decoded::kRecord) sound.emplace(d.seq, std::string(d.line));
    }
    korrin::MemoryFolder folder;
    const std::string name = Journal::segmentName(1);
    folder.files[name] = std::make_shared<std::string>(bytes);
    korrin::NoteList notes;
    Journal j(folder, 1 << 20);
    FUZZ_CHECK(j.open(notes));
    std::vector<std::string> kept;
    uint64_t last = 0;
    auto reader = j.reader(1);
    std::string line;
    uint64_t seq;
    while (reader.next(line, seq)) {
        FUZZ_CHECK(seq > last);
        FUZZ_CHECK(sound.count({seq, line}));
        last = seq;
        kept.push_back(line);
    }
    FUZZ_CHECK(kept.size() >= prefix.size());
    FUZZ_CHECK(std::equal(prefix.begin(), prefix.end(), kept.begin()));
    FUZZ_CHECK(j.append("next") > last);
    // What is left of the file is all of it, set aside or not, or all but a cut end.
    const auto left = folder.files.count(name) ? folder.files[name] : folder.files[name + ".bad"];
    if (left) {
        FUZZ_CHECK(left->size() >= prefixEnd);
        FUZZ_CHECK(bytes.compare(0, left->size(), *left) == 0);
    } else {
        FUZZ_CHECK(prefix.empty());  // only a torn record, cut and its empty file deleted
    }
    return 0;
}
