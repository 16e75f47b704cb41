// The status port's request reader: bytes arrive in reads of random size; the outcome must not
// depend on where the reads split the stream, a complete head yields a path that starts with
// "/" (or is OPTIONS' "*") and holds visible ASCII only, a host in lower case or none for
// HTTP/1.0 alone, and a bad one one of the three answers.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "fuzz/fuzz_check.h"
#include "server/status/http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const size_t step = in.ConsumeIntegralInRange<size_t>(1, 64);
    const std::string stream = in.ConsumeRemainingBytesAsString();

    korrin::HttpRequestReader whole, pieces;
    whole.feed(stream);
    for (size_t at = 0; at < stream.size(); at += step) pieces.feed(stream.substr(at, step));
    FUZZ_CHECK(whole.state() == pieces.state());
    FUZZ_CHECK(whole.errorStatus() == pieces.errorStatus());
    FUZZ_CHECK(whole.method() == pieces.method() && whole.path() == pieces.path());
    FUZZ_CHECK(whole.host() == pieces.host());
    using State = korrin::HttpRequestReader::State;
    if (whole.state() == State::Complete) {
        FUZZ_CHECK((!whole.path().empty() && whole.path()[0] == '/') ||
                   (whole.path() == "*" && whole.method() == "OPTIONS"));
        for (char c : whole.path()) FUZZ_CHECK(c > 0x20 && c < 0x7F);
        FUZZ_CHECK(!whole.method().empty());
        for (char c : whole.host()) FUZZ_CHECK(c > 0x20 && c < 0x7F && !(c >= 'A' && c <= 'Z'));
        FUZZ_CHECK(!whole.host().empty() || stream.find("HTTP/1.0") != std::string::npos);
    } else if (whole.state() == State::Bad) {
        const int s = whole.errorStatus();
        FUZZ_CHECK(s == 400 || s == 414 || s == 431);
    } else {
        FUZZ_CHECK(stream.size() <= korrin::HttpRequestReader::kMaxHead);
    }
    return 0;
}
