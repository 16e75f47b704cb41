// Exports of the telephone-number routines: argument conventions and the location values
// from the registry; the work is done by the portable functions.
#include <windows.h>

#include <string>

#include "oxasoft/frame/boundary_win.h"
#include "oxasoft/frame/oxasoft.h"
#include "oxasoft/system/text_rules.h"
#include "oxasoft/telephony/dial_codes.h"
#include "oxasoft/telephony/tel_format.h"

using namespace oxa;

namespace {

// One location value below HKEY_LOCAL_MACHINE, read the way every caller of GET_REG_VALUE
// reads it (decimal digits for a DWORD, empty when missing), blanks trimmed.
std::string location_value(const std::string& key, const char* name) {
    const long root = long_from_handle(HKEY_LOCAL_MACHINE);
    std::string value_name = name;  // GET_REG_VALUE may rewrite its value name in place
    const std::string text = take_byte_string(GET_REG_VALUE(&root, key.c_str(), value_name.data()));
    return std::string(system::trim_blanks(text));
}

// Read on every call, in this order, so a changed location takes effect at once.
telephony::Location read_location() {
    const std::string id = location_value(telephony::kLocationsKey, "CurrentID");
    const std::string location_key = telephony::location_key(id);
    telephony::Location loc;
    loc.country_code = location_value(location_key, "Country");
    loc.area_code = location_value(location_key, "AreaCode");
    loc.long_distance_access = location_value(location_key, "LongDistanceAccess");
    loc.outside_access = location_value(location_key, "OutsideAccess");
    const std::string rules_key = telephony::rules_key(loc.country_code);
    loc.international_rule = location_value(rules_key, "InternationalRule");
    loc.long_distance_rule = location_value(rules_key, "LongDistanceRule");
    return loc;
}

}  // namespace

extern "C" {

OXA_BSTR OXA_CALL CHANGE_TEL_FORMAT(const char* number, long /*never read*/) {
    return string_export([&] {
        const telephony::Location loc = read_location();
        return telephony::change_tel_format(read_text(number), loc);
    });
}

OXA_BSTR OXA_CALL MAKE_ENB_DIAL(const char* text) {
    return string_export([&] { return telephony::enb_dial(read_text(text)); });
}

long OXA_CALL IS_NUMBER(OXA_BSTR text) {
    const std::string in = take_byte_string(text);
    return telephony::is_dial_string(in) ? 1 : 0;
}

}  // extern "C"
