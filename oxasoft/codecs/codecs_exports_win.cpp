// Exports of the number and digit codecs and feature codes: argument conventions only, the
// work is done by the portable functions.
#include <cstring>

#include "oxasoft/codecs/digits.h"
#include "oxasoft/codecs/feature_code.h"
#include "oxasoft/codecs/fields.h"
#include "oxasoft/codecs/hex_number.h"
#include "oxasoft/frame/boundary_win.h"
#include "oxasoft/frame/oxasoft.h"

using namespace oxa;

extern "C" {

long OXA_CALL MYFUNCTION1(long x) {
    return static_cast<long>(static_cast<unsigned long>(x) + 1u);
}

void OXA_CALL MYSUB1(long) {}

OXA_BSTR OXA_CALL GET_NIBBLED_NUMBER(OXA_BSTR bytes) {
    const std::string in = take_byte_string(bytes);
    return string_export([&] { return codecs::nibbled_number(in); });
}

OXA_BSTR OXA_CALL CLEAR_FF(OXA_BSTR bytes) {
    const std::string in = take_byte_string(bytes);
    return string_export([&] { return codecs::clear_ff(in); });
}

OXA_BSTR OXA_CALL GET_BIN_STRING(const short* v) {
    return string_export([&] { return codecs::bin_string(read_int(v)); });
}

void OXA_CALL MAKE_WEG_ID(const short* v, short* high, short* low) {
    const codecs::ByteSplit split = codecs::split_word(read_int(v));
    write_int(high, split.high);
    write_int(low, split.low);
}

void OXA_CALL MAKE_LOW_HIGH(const short* v, short* low, short* high) {
    const codecs::ByteSplit split = codecs::split_word(read_int(v));
    write_int(low, split.low);
    write_int(high, split.high);
}

long OXA_CALL GET_PORTNUMBER(const short* high, const short* low) {
    return codecs::port_number(static_cast<short>(read_int(high)),
                               static_cast<short>(read_int(low)));
}

long OXA_CALL CONV_HEXTONUMBER(char* text) {
    return guarded(-1L, [&] {
        std::string t(read_text(text));
        const long value = codecs::hex_to_number(t);
        // The rewritten text is never longer than the caller's, so it fits where it came from.
        if (text) {
            std::memcpy(text, t.data(), t.size());
            text[t.size()] = '\0';
        }
        return value;
    });
}

OXA_BSTR OXA_CALL GET_PIECE_EXT(const char* text, const char* delimiter, const short* n) {
    return string_export(
        [&] { return codecs::piece(read_text(text), read_text(delimiter), read_int(n)); });
}

OXA_BSTR OXA_CALL CHANGE_LMCODE(OXA_BSTR code) {
    const std::string in = take_byte_string(code);
    return string_export([&] { return codecs::feature_code_text(in); });
}

OXA_BSTR OXA_CALL CHANGE_LMCODE_NOW(const char* code) {
    return string_export([&] { return codecs::feature_code_text(read_text(code)); });
}

}  // extern "C"
