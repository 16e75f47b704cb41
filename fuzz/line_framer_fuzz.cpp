// The input line framer against a plain cut of the whole stream: bytes arrive in reads of
// random size, and every complete line must come out once, unchanged and in order, an overlong
// line only as one overlong event, never as a fragment.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "server/net/line_framer.h"

namespace {

// "L" + text for a line, "O" for an overlong event: one sequence shows order and counts.
struct Recorder : korrin::LineFramer::Sink {
    std::vector<std::string> events;
    void line(std::string_view text) override { events.push_back("L" + std::string(text)); }
    void overlong() override { events.push_back("O"); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    // Small bounds and short delimiters make the interesting cases reachable with short inputs.
    const size_t maxLine = in.ConsumeIntegralInRange<size_t>(0, 48);
    std::string delimiter = "\n";
    if (in.ConsumeBool()) delimiter = in.ConsumeBytesAsString(in.ConsumeIntegralInRange(1, 3));
    if (delimiter.empty()) delimiter = "\n";
    std::vector<size_t> reads;
    for (int i = in.ConsumeIntegralInRange(0, 16); i > 0; --i)
        reads.push_back(in.ConsumeIntegralInRange<size_t>(0, 40));
    const std::string stream = in.ConsumeRemainingBytesAsString();

    korrin::LineFramer framer(maxLine);
    framer.setDelimiter(delimiter);
    Recorder got;
    size_t at = 0;
    for (size_t r = 0; at < stream.size(); ++r) {
        // Reads of the listed sizes, then the rest in one.
        const size_t n = r < reads.size() ? reads[r] : stream.size() - at;
        const size_t take = std::min(n, stream.size() - at);
        framer.feed(std::string_view(stream).substr(at, take), got);
        at += take;
    }

    // The reference: cut the whole stream at each delimiter, left to right.
    std::vector<std::string> want;
    size_t start = 0;
    for (size_t pos; (pos = stream.find(delimiter, start)) != std::string::npos;
         start = pos + delimiter.size()) {
        const size_t len = pos - start;
        want.push_back(len > maxLine ? "O" : "L" + stream.substr(start, len));
    }
    const std::string tail = stream.substr(start);
    // The unfinished tail may already count as overlong once it is known to be one: longer
    // than the maximum plus the bytes that might still turn out to be a delimiter.
    FUZZ_CHECK(got.events.size() == want.size() || got.events.size() == want.size() + 1);
    const bool tailDropped = got.events.size() > want.size();
    if (tailDropped) FUZZ_CHECK(got.events.back() == "O");
    for (size_t i = 0; i < want.size(); ++i) FUZZ_CHECK(got.events[i] == want[i]);
    if (tail.size() > maxLine + delimiter.size()) FUZZ_CHECK(tailDropped);
    if (tail.size() <= maxLine) FUZZ_CHECK(!tailDropped);

    // The rest handed on at a close: the tail, unless it was dropped; never past the bound.
    const std::string rest = framer.takeRest();
    FUZZ_CHECK(rest == (tailDropped ? std::string() : tail));
    FUZZ_CHECK(rest.size() <= maxLine + delimiter.size());
    FUZZ_CHECK(framer.empty());
    return 0;
}
