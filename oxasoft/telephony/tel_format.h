#pragma once
// Canonical telephone numbers ("+49 (30) 123-45") turned into the digits to dial from the
// current telephony location. Portable: the location values come in as texts.

#include <string>
#include <string_view>

namespace oxa::telephony {

// The location values the formatter needs, as read (blanks already trimmed). The rules are
// taken as stored ("00EFG"); the formatter keeps only their dial characters.
struct Location {
    std::string country_code;
    std::string area_code;
    std::string long_distance_access;
    std::string outside_access;
    std::string international_rule;
    std::string long_distance_rule;
};

// Digits, "+", "(" and ")" of the text, in their order; everything else is dropped.
std::string filter_dial_chars(std::string_view text);

// The dialable text of `number` from the location `loc`. A number without a leading "+"
// only loses its non-dial characters.
std::string change_tel_format(std::string_view number, const Location& loc);

// Where the location values live, below HKEY_LOCAL_MACHINE. Only the first 19 characters of
// the location id and of the country code complete the keys.
extern const char kLocationsKey[];
std::string location_key(std::string_view location_id);
std::string rules_key(std::string_view country_code);

}  // namespace oxa::telephony
