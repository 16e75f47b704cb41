// The telephone-number formatter over random numbers and location texts: the access code of
// the right branch comes first, then only dial characters, an own-country national part of at
// most 23 characters, and no digit of the number lost in the other-country branch.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "fuzz/fuzz_check.h"
#include "oxasoft/system/text_rules.h"
#include "oxasoft/telephony/tel_format.h"

namespace {

using oxa::telephony::Location;

std::string keepOnly(std::string_view text, std::string_view allowed) {
    std::string out;
    for (char c : text)
        if (allowed.find(c) != std::string_view::npos) out += c;
    return out;
}

std::string dropAll(std::string_view text, std::string_view gone) {
    std::string out;
    for (char c : text)
        if (gone.find(c) == std::string_view::npos) out += c;
    return out;
}

bool startsWith(std::string_view s, std::string_view p) {
    return s.substr(0, p.size()) == p;
}

// Location texts as the export hands them on: read from the registry, blanks trimmed.
std::string locationText(FuzzedDataProvider& in) {
    return std::string(oxa::system::trim_blanks(in.ConsumeRandomLengthString(30)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Location loc;
    loc.country_code = locationText(in);
    loc.area_code = locationText(in);
    loc.long_distance_access = locationText(in);
    loc.outside_access = locationText(in);
    loc.international_rule = locationText(in);
    loc.long_distance_rule = locationText(in);
    const std::string number = in.ConsumeRemainingBytesAsString();

    const std::string result = oxa::telephony::change_tel_format(number, loc);
    const std::string dialChars = "0123456789+()";
    const std::string f = keepOnly(number, dialChars);
    FUZZ_CHECK(oxa::telephony::filter_dial_chars(number) == f);
    if (!startsWith(f, "+")) {
        FUZZ_CHECK(result == f);  // only filtered
        return 0;
    }
    const std::string ownCountry = "+" + loc.country_code;
    if (!startsWith(f, ownCountry)) {
        // Other country: every digit of the number follows the international prefix.
        const std::string prefix = keepOnly(loc.international_rule, dialChars);
        FUZZ_CHECK(result == loc.outside_access + dropAll(prefix + f.substr(1), "()"));
        return 0;
    }
    // Own country: the national part is a field of 23 characters.
    std::string national = f.substr(ownCountry.size(), 23);
    bool longDistance = startsWith(national, "(");
    const std::string ownArea = "(" + loc.area_code;
    if (startsWith(national, ownArea)) {
        longDistance = false;
        national.erase(0, ownArea.size());
    }
    const std::string& access = longDistance ? loc.long_distance_access : loc.outside_access;
    FUZZ_CHECK(startsWith(result, access));
    const std::string rest = result.substr(access.size());
    FUZZ_CHECK(rest.size() <= 23);
    const std::string ldPrefix = keepOnly(loc.long_distance_rule, dialChars);
    // Only digits and "+" of the number and the prefix; "(" only where the prefix brings one.
    const std::string allowed =
        ldPrefix.find('(') != std::string::npos ? "0123456789+(" : "0123456789+";
    FUZZ_CHECK(keepOnly(rest, allowed) == rest);
    // Without a long-distance prefix the brackets just disappear, nothing else changes.
    if (ldPrefix.empty()) FUZZ_CHECK(rest == dropAll(national, "()"));
    return 0;
}
