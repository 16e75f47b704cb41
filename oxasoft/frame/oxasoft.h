/* oxasoft.h - the exports of oxasoft.dll, for C and C++ callers.
 *
 * Calling: link with the import library liboxasoft.dll.a, or load oxasoft.dll with LoadLibraryA
 * and look each export up with GetProcAddress under its upper-case name (no decoration).
 * Every export uses the standard Windows calling convention (__stdcall); all text is 8-bit ANSI.
 * The library keeps no state: any export may be called first, from any thread.
 *
 * Who owns what:
 *   const char*  text pointer: stays the caller's; read up to its first NUL. NULL is read as
 *                the empty text, or handed on unchanged where the export only passes it to Windows.
 *   char*        text pointer the export may rewrite in place (never longer); noted per export.
 *   OXA_BSTR in  byte string made with SysAllocStringByteLen: ownership passes to the export,
 *                which reads every byte (NULs included) and frees it with SysFreeString before
 *                it returns. Do not use or free it after the call. NULL is the empty text.
 *   OXA_BSTR out string result: a new byte string owned by the caller, to be freed with
 *                SysFreeString. Its length is SysStringByteLen; it is also NUL-terminated.
 *                The empty result is NULL, never a zero-length string.
 *   short*       16-bit integer, read (sign-extended) or written as noted.
 *   long*        32-bit integer, read or written as noted.
 *
 * Adding an export: declare it below with OXA_CALL and a note per parameter, add NAME@bytes
 * to oxasoft/frame/oxasoft.def, define it extern "C" in a *_exports_win.cpp of its folder using
 * the helpers of oxasoft/frame/boundary_win.h, and list that file in the folder's CMakeLists
 * with target_sources(oxasoft PRIVATE ...).
 */
#ifndef OXASOFT_H
#define OXASOFT_H

#include <stddef.h> /* wchar_t */

#ifdef _WIN32
#define OXA_CALL __stdcall
#else
#define OXA_CALL
#endif

/* The same type as BSTR of <oleauto.h>; spelled out so this header needs no Windows header. */
typedef wchar_t* OXA_BSTR;

#ifdef __cplusplus
extern "C" {
#endif

/* ---- trivial ---- */
long OXA_CALL MYFUNCTION1(long x); /* returns x + 1, wrapping at 32 bits */
void OXA_CALL MYSUB1(long x);      /* does nothing */

/* ---- program directory, INI files, registry ---- */

/* Directory of the calling process's program file with its trailing "\" or "/"; NULL if none. */
OXA_BSTR OXA_CALL GET_APP_PATH(void);
/* Value of section/key in file (at most 254 characters), NULL when missing. All three pointers go
 * unchanged to GetPrivateProfileStringA: a NULL key gives the first key name of the section. */
OXA_BSTR OXA_CALL READ_INI(const char* section, const char* key, const char* file);
/* WritePrivateProfileStringA with the four pointers unchanged (NULL key removes the section,
 * NULL value the key); returns its result, non-zero on success. */
long OXA_CALL WRITE_INI(const char* section, const char* key, const char* value, const char* file);
/* The value as text: REG_SZ and the first string of REG_MULTI_SZ (up to 1023 bytes; a longer text
 * gives NULL), REG_DWORD as signed decimal; NULL for other types or when missing.
 * root: in, an open key or a predefined root such as 0x80000001 (HKEY_CURRENT_USER).
 * value_name: "*" means the unnamed value; the export then rewrites it to "" in place. */
OXA_BSTR OXA_CALL GET_REG_VALUE(const long* root, const char* sub_key, char* value_name);
/* Creates or opens sub_key and stores data whole as REG_SZ; returns 1 when the key could be
 * created or opened, else 0. value_name: "*" is rewritten to "" in place (unnamed value). */
long OXA_CALL SET_REG_VALUE(const long* root, const char* sub_key, char* value_name,
                            const char* data);
/* Deletes sub_key (without sub keys); returns the Win32 error code, 0 also when it cannot be opened. */
long OXA_CALL DEL_REG_KEY(const long* root, const char* sub_key);
/* Deletes a value; returns the Win32 error code (2 for a missing key or value).
 * value_name: "*" is rewritten to "" in place (unnamed value). */
long OXA_CALL DEL_REG_VALUE(const long* root, const char* sub_key, char* value_name);
/* The registered owner of this Windows installation, NULL if not recorded. */
OXA_BSTR OXA_CALL GET_USER_NAME(void);

/* ---- number and digit codecs ---- */

/* Field n (from 1; negative from the end) of text split at every delimiter; an empty delimiter
 * reads comma-separated fields with double quotes. NULL for no such field. n: in. */
OXA_BSTR OXA_CALL GET_PIECE_EXT(const char* text, const char* delimiter, const short* n);
/* high * 256 + low, both read as signed 16-bit. */
long OXA_CALL GET_PORTNUMBER(const short* high, const short* low);
/* The bytes before the first byte 0xFF. bytes: freed by the export. */
OXA_BSTR OXA_CALL CLEAR_FF(OXA_BSTR bytes);
/* Packed digits (two per byte, high nibble first, 0xFF ends, one trailing F filler dropped) as
 * hexadecimal text, at most 21 bytes. bytes: freed by the export. */
OXA_BSTR OXA_CALL GET_NIBBLED_NUMBER(OXA_BSTR bytes);
/* The low 8 bits of *v as eight characters "0"/"1". v: in. */
OXA_BSTR OXA_CALL GET_BIN_STRING(const short* v);
/* Splits *v (taken as unsigned 16-bit) into *high and *low bytes. v: in; high, low: out. */
void OXA_CALL MAKE_WEG_ID(const short* v, short* high, short* low);
/* As MAKE_WEG_ID with the outputs in the other order. v: in; low, high: out. */
void OXA_CALL MAKE_LOW_HIGH(const short* v, short* low, short* high);
/* Hexadecimal text (prefix up to "H" or "X" cut) as its 32-bit pattern, -1 when invalid.
 * text: upper-cased in place (code page 437 letters too) and cut after its first H or X. */
long OXA_CALL CONV_HEXTONUMBER(char* text);

/* ---- feature codes ---- */

/* Dial text of a packed feature code (first and last byte; B = "*", C = "#", F ends).
 * code: freed by the export; NUL bytes count. */
OXA_BSTR OXA_CALL CHANGE_LMCODE(OXA_BSTR code);
/* As CHANGE_LMCODE, for a code that ends at its first NUL. */
OXA_BSTR OXA_CALL CHANGE_LMCODE_NOW(const char* code);

#ifdef __cplusplus
}
#endif

#endif /* OXASOFT_H */
