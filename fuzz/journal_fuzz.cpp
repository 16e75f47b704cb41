// Any bytes as a spool segment: recovery never fails on them, and the lines it keeps are
// exactly the sound records at the front, in order, with nothing made up.
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "server/net/journal.h"
#include "server/net/memory_folder.h"

using korrin::Journal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    // The sound prefix, decoded on its own.
    std::vector<std::string> expected;
    for (std::string_view rest = bytes;;) {
        const Journal::Decoded d = Journal::decode(rest);
        if (d.kind != Journal::Decoded::kRecord || d.seq != expected.size() + 1) break;
        expected.emplace_back(d.line);
        rest.remove_prefix(d.size);
    }
    korrin::MemoryFolder folder;
    folder.files[Journal::segmentName(1)] = std::make_shared<std::string>(bytes);
    std::vector<std::string> notes;
    Journal j(folder, 1 << 20);
    FUZZ_CHECK(j.open(notes));
    std::vector<std::string> kept;
    auto reader = j.reader(1);
    std::string line;
    uint64_t seq;
    while (reader.next(line, seq)) {
        FUZZ_CHECK(seq == kept.size() + 1);
        kept.push_back(line);
    }
    FUZZ_CHECK(kept == expected);
    // What could not be read is kept aside, never deleted.
    if (expected.empty() && size > 0) FUZZ_CHECK(folder.files.size() == 2);
    return 0;
}
