// The event stream's start and its events: an id is taken only when it is digits that fit 64
// bits and then reads back as itself; the URL's last= and replay= and the Last-Event-ID field
// never give both a place and a replay; any line makes one event whose data lines hold no CR,
// NUL or LF of their own.
#include <string>

#include "fuzz/fuzz_check.h"
#include "server/status/event_format.h"

using namespace korrin::events;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t cut = input.find('\n');
    const std::string query = input.substr(0, cut);
    const std::string field = cut == std::string::npos ? "" : input.substr(cut + 1);

    if (const auto id = parseEventId(field))
        FUZZ_CHECK(std::to_string(*id) == field || field.find_first_not_of('0') != 0);
    const StreamStart s = parseStreamStart(query, field);
    FUZZ_CHECK(!(s.after && s.replay));
    FUZZ_CHECK(!(s.badId && (s.after || s.replay)));
    if (!field.empty()) FUZZ_CHECK(!s.replay);

    const std::string event = eventText(42, input);
    FUZZ_CHECK(event.rfind("id: 42\ndata: ", 0) == 0);
    FUZZ_CHECK(event.size() >= 2 && event.substr(event.size() - 2) == "\n\n");
    const std::string body = event.substr(7, event.size() - 9);  // the data lines
    size_t at = 0;
    while (at <= body.size()) {
        const size_t end = std::min(body.find('\n', at), body.size());
        FUZZ_CHECK(body.compare(at, 6, "data: ") == 0);
        at = end + 1;
    }
    FUZZ_CHECK(event.find('\r') == std::string::npos);
    FUZZ_CHECK(event.find('\0') == std::string::npos);
    return 0;
}
