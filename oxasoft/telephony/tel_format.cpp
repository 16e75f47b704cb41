// Telephone number formatter: own-country and other-country branches over the location values.
#include "oxasoft/telephony/tel_format.h"

#include <algorithm>

#include "oxasoft/system/text_rules.h"

namespace oxa::telephony {
namespace {

// The national part of an own-country number is a field of this many characters.
constexpr std::size_t kNationalPartMax = 23;
// Key names are built from at most this many characters of the location id or country code.
constexpr std::size_t kKeyPartMax = 19;

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The characters become blanks and the blanks go: the characters simply disappear.
std::string drop_chars(std::string text, std::string_view chars) {
    text.erase(std::remove_if(text.begin(), text.end(),
                              [chars](char c) { return c == ' ' || chars.find(c) != chars.npos; }),
               text.end());
    return text;
}

void cut_to(std::string& text, std::size_t max) {
    if (text.size() > max) text.resize(max);
}

std::string own_country_number(std::string_view national, const Location& loc) {
    std::string n(national.substr(0, kNationalPartMax));
    bool long_distance = starts_with(n, "(");
    // A pure prefix test: "(30" also matches the area "(301)".
    const std::string own_area = "(" + loc.area_code;
    if (starts_with(n, own_area)) {
        long_distance = false;
        n.erase(0, own_area.size());
    }
    // Only the caller's brackets are replaced; a "(" inside the prefix itself stays.
    n = system::replace_ascii(n, "(", filter_dial_chars(loc.long_distance_rule));
    cut_to(n, kNationalPartMax);
    n = drop_chars(std::move(n), ")");
    return (long_distance ? loc.long_distance_access : loc.outside_access) + n;
}

std::string other_country_number(std::string_view without_plus, const Location& loc) {
    std::string g = filter_dial_chars(loc.international_rule);
    g.append(without_plus);
    return loc.outside_access + drop_chars(std::move(g), "()");
}

}  // namespace

const char kLocationsKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations";

std::string filter_dial_chars(std::string_view text) {
    std::string out;
    for (char c : text) {
        if ((c >= '0' && c <= '9') || c == '+' || c == '(' || c == ')') out.push_back(c);
    }
    return out;
}

std::string change_tel_format(std::string_view number, const Location& loc) {
    const std::string f = filter_dial_chars(number);
    if (!starts_with(f, "+")) return f;
    const std::string own_country = "+" + loc.country_code;
    if (starts_with(f, own_country)) {
        return own_country_number(std::string_view(f).substr(own_country.size()), loc);
    }
    return other_country_number(std::string_view(f).substr(1), loc);
}

std::string location_key(std::string_view location_id) {
    std::string key = kLocationsKey;
    key.append("\\Location");
    key.append(location_id.substr(0, kKeyPartMax));
    return key;
}

std::string rules_key(std::string_view country_code) {
    std::string key = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Country List\\";
    key.append(country_code.substr(0, kKeyPartMax));
    return key;
}

}  // namespace oxa::telephony
