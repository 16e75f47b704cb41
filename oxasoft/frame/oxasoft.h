/* oxasoft.h - the exports of oxasoft.dll, for C and C++ callers.
 *
 * Calling: link with the import library liboxasoft.dll.a, or load oxasoft.dll with LoadLibraryA
 * and look each export up with GetProcAddress under its upper-case name (no decoration).
 * Every export uses the standard Windows calling convention (__stdcall); all text is 8-bit ANSI.
 * The library keeps no state: any export may be called first, from any thread.
 *
 * One header for the 32-bit and the 64-bit DLL; a process loads the one of its own bitness.
 * In a 64-bit process pointers and byte strings are 64 bits wide and x64's one calling
 * convention applies; long stays 32 bits and short 16, as everywhere on Windows.
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
 * root: in, an open key or a predefined root such as 0x80000001 (HKEY_CURRENT_USER), in 32 bits
 * also in a 64-bit process (widened with its sign, as Windows defines the predefined roots).
 * value_name: "*" means the unnamed value; the export then rewrites it to "" in place. */
OXA_BSTR OXA_CALL GET_REG_VALUE(const long* root, const char* sub_key, char* value_name);
/* Creates or opens sub_key and stores data whole as REG_SZ; returns 1 when the key could be
 * created or opened, else 0. value_name: "*" is rewritten to "" in place (unnamed value). */
long OXA_CALL SET_REG_VALUE(const long* root, const char* sub_key, char* value_name,
                            const char* data);
/* Deletes sub_key (without sub keys); returns the Win32 error code, 0 also when it cannot be
 * opened. */
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

/* ---- telephone numbers ---- */

/* The digits to dial for a number in canonical form ("+49 (30) 123-45") from the current
 * telephony location (read from the registry on every call): the own country and area codes
 * are dropped, the long-distance or international prefix and the access code are put in.
 * A number without a leading "+" only loses everything but digits, "+", "(" and ")".
 * unused: a second argument that is never read (callers pass two; 8 bytes are removed). */
OXA_BSTR OXA_CALL CHANGE_TEL_FORMAT(const char* number, long unused);
/* One letter per character: "1".."9" -> "A".."I", "0" -> "J", "*" or "B" -> "K", "#" or
 * "C" -> "L"; any other character stays. */
OXA_BSTR OXA_CALL MAKE_ENB_DIAL(const char* text);
/* 1 when text is not empty and holds only "0".."9", "*" and "#", else 0. text: freed by the
 * export; NUL bytes count (and are not dial characters). */
long OXA_CALL IS_NUMBER(OXA_BSTR text);

/* ---- system and device queries ---- */

/* Short name of the running Windows: "W95", "W98", "ME", "NT 3.51 ", "NT 4.0 ", "Windows 2000 "
 * or "Windows XP " (the NT names followed by the service-pack text, so they end in a blank when
 * there is none); the platform id in decimal for another platform; NULL for other versions. */
OXA_BSTR OXA_CALL GET_WIN_VERSION(void);
/* Device counts, as mixerGetNumDevs, waveOutGetNumDevs and waveInGetNumDevs report them. */
long OXA_CALL GET_MIXERCOUNT(void);
long OXA_CALL GET_NUM_WAVE_OUT(void);
long OXA_CALL GET_NUM_WAVE_IN(void);
/* Product name of a device (at most 31 characters), NULL for an index the platform rejects.
 * index: in; the wave indexes are 16-bit and sign-extended, so -1 is the wave mapper. */
OXA_BSTR OXA_CALL GET_MIXERNAME(long index);
OXA_BSTR OXA_CALL GET_WAVE_OUT_DEV(const short* index);
OXA_BSTR OXA_CALL GET_WAVE_IN_DEV(const short* index);
/* Writes "OXA: " and the text without leading and trailing blanks to the debugger output, with
 * no line end; returns 1. */
long OXA_CALL DEBUG_PRINT(const char* text);
/* The text with every character equal to find replaced by replacement (which may be empty or
 * longer); a find text that is not exactly one character leaves the text unchanged. */
OXA_BSTR OXA_CALL REPLACE_ASCII(const char* text, const char* find, const char* replacement);
/* Shows the window and makes it topmost when *flag is 1; any other flag makes it not topmost
 * (at the top of the windows that are not). window: in, the HWND in 32 bits; a 64-bit process
 * stores (long)(LONG_PTR)hwnd (window handles fit in 32 bits, widened with their sign).
 * flag: in. */
void OXA_CALL FORMONTOP(const long* window, const short* flag);
/* Full path of the program associated with the document file (FindExecutableA; file goes to it
 * unchanged), NULL when there is none or the file is missing. */
OXA_BSTR OXA_CALL FIND_EXE_TO_OPEN(const char* file);

/* ---- dialogs (modal on the calling thread) ---- */

/* The open-file dialog. Returns the chosen file's full path after a confirmed choice (with
 * OFN_ALLOWMULTISELECT: the text up to the first NUL), NULL after cancel or failure.
 * owner: in, HWND in 32 bits or 0. title: in; an empty title gives the dialog's own (at most
 * 249 characters are shown). file_name, directory: in, at most 259 characters; an empty
 * directory means the current directory.
 * filter: in/out, pairs such as "Text|*.txt|All|*.*"; every "|" is rewritten to NUL in place,
 * and the whole list reaches the dialog, however long, closed by two NULs.
 * flags: in/out, OFN_* flags for GetOpenFileNameA; 0 is replaced by 0x1004
 * (OFN_HIDEREADONLY | OFN_FILEMUSTEXIST), which is written back. */
OXA_BSTR OXA_CALL OPEN_FILE_DLG(long owner, const char* title, const char* file_name,
                                const char* directory, char* filter, long* flags);
/* The colour dialog, opened on *colour (COLORREF 0x00BBGGRR) with fresh, black custom colours.
 * Returns the chosen colour, 0 when cancelled (also the value of black). colour: in only. */
long OXA_CALL SHOW_COLOR(long owner, const long* colour);

#ifdef __cplusplus
}
#endif

#endif /* OXASOFT_H */
