/* call_by_name.c - a program that uses oxasoft.dll with neither its header nor its import
 * library: it loads the DLL, looks each export up under its upper-case name and keeps to the
 * library's ownership rules:
 *   - a string result (a BSTR holding 8-bit text) is the caller's: free it with SysFreeString;
 *   - a byte string handed in (made with SysAllocStringByteLen) is the library's from the call
 *     on: it frees it, so do not use or free it afterwards;
 *   - text pointers stay the caller's; CONV_HEXTONUMBER rewrites its text in place.
 *
 * Build:  i686-w64-mingw32-gcc -std=c99 call_by_name.c -loleaut32 -o call_by_name.exe
 * (x86_64-w64-mingw32-gcc for a 64-bit program, which loads the 64-bit oxasoft.dll).
 * Run it beside oxasoft.dll. It prints every result and exits with 1 if one is unexpected. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <oleauto.h>

/* Every export is __stdcall (WINAPI); short* and long* are 16- and 32-bit integers. */
typedef BSTR(WINAPI* PieceFn)(const char* text, const char* delimiter, const short* n);
typedef long(WINAPI* HexFn)(char* text);
typedef void(WINAPI* SplitFn)(const short* value, short* high, short* low);
typedef long(WINAPI* JoinFn)(const short* high, const short* low);
typedef BSTR(WINAPI* BytesFn)(BSTR bytes);
typedef BSTR(WINAPI* TextFn)(const char* text);
typedef BSTR(WINAPI* ReplaceFn)(const char* text, const char* find, const char* replacement);
typedef BSTR(WINAPI* QueryFn)(void);

static HMODULE dll;
static int failures;

/* void (*)(void) converts to every function pointer type without a warning. */
typedef void (*AnyFn)(void);

static AnyFn export_named(const char* name) {
    FARPROC f = GetProcAddress(dll, name);
    if (f == NULL) {
        printf("oxasoft.dll has no export %s\n", name);
        exit(1);
    }
    return (AnyFn)f;
}

static void expect(int ok) {
    if (!ok) {
        printf("    ^ not what was expected\n");
        failures++;
    }
}

/* Prints a string result, compares it with the expected text and frees it. The empty result is
 * NULL (expected "" matches it); the length is the byte count, as results may hold NUL bytes. */
static void text_result(const char* call, BSTR result, const char* expected) {
    UINT len = SysStringByteLen(result); /* 0 for NULL */
    printf("%-40s \"%.*s\"\n", call, (int)len, result ? (const char*)result : "");
    expect(len == strlen(expected) &&
           (len == 0 ? result == NULL : memcmp(result, expected, len) == 0));
    SysFreeString(result); /* NULL is fine too */
}

static void long_result(const char* call, long result, long expected) {
    printf("%-40s %ld\n", call, result);
    expect(result == expected);
}

int main(void) {
    dll = LoadLibraryA("oxasoft.dll");
    if (dll == NULL) {
        printf("cannot load oxasoft.dll (error %lu)\n", GetLastError());
        return 1;
    }
    PieceFn get_piece = (PieceFn)export_named("GET_PIECE_EXT");
    HexFn hex_to_number = (HexFn)export_named("CONV_HEXTONUMBER");
    SplitFn split_port = (SplitFn)export_named("MAKE_WEG_ID");
    JoinFn join_port = (JoinFn)export_named("GET_PORTNUMBER");
    BytesFn nibbled = (BytesFn)export_named("GET_NIBBLED_NUMBER");
    TextFn feature_code = (TextFn)export_named("CHANGE_LMCODE_NOW");
    ReplaceFn replace = (ReplaceFn)export_named("REPLACE_ASCII");
    QueryFn win_version = (QueryFn)export_named("GET_WIN_VERSION");

    /* Fields count from 1; a negative number counts from the end; no such field: empty. */
    short second = 2, last = -1, tenth = 10;
    text_result("GET_PIECE_EXT(..., 2)", get_piece("alpha;beta;gamma", ";", &second), "beta");
    text_result("GET_PIECE_EXT(..., -1)", get_piece("alpha;beta;gamma", ";", &last), "gamma");
    text_result("GET_PIECE_EXT(..., 10)", get_piece("alpha;beta;gamma", ";", &tenth), "");

    /* The text must be writable: the export cuts the prefix and upper-cases it in place. */
    char hex[] = "&hc0de";
    long_result("CONV_HEXTONUMBER(\"&hc0de\")", hex_to_number(hex), 0xC0DE);
    printf("%-40s \"%s\"\n", "  its text afterwards", hex);
    expect(strcmp(hex, "C0DE") == 0);
    char not_hex[] = "12G4";
    long_result("CONV_HEXTONUMBER(\"12G4\")", hex_to_number(not_hex), -1);

    /* A port number split into its two bytes and joined again. */
    short port = 3001, high = 0, low = 0;
    split_port(&port, &high, &low);
    printf("%-40s high %d, low %d\n", "MAKE_WEG_ID(3001)", high, low);
    expect(high == 11 && low == 185);
    long_result("GET_PORTNUMBER(11, 185)", join_port(&high, &low), 3001);

    /* Packed digits, two per byte; 0xFF ends them. The byte string belongs to the library as
     * soon as it is passed: it is not freed here. */
    BSTR packed = SysAllocStringByteLen("\x49\x30\x12\x3F\xFF\x77", 6);
    text_result("GET_NIBBLED_NUMBER(49 30 12 3F FF 77)", nibbled(packed), "4930123");
    packed = NULL;

    /* Feature code: nibble B dials "*", C dials "#". */
    text_result("CHANGE_LMCODE_NOW(B2 1C)", feature_code("\xB2\x1C"), "*21#");

    text_result("REPLACE_ASCII(\"2026-12-08\", \"-\", \". \")", replace("2026-12-08", "-", ". "),
                "2026. 12. 08");

    /* Only the old versions have a name; later ones give the empty result. */
    BSTR version = win_version();
    const char* names[] = {"W95", "W98", "ME", "NT ", "Windows 2000 ", "Windows XP "};
    int known = version == NULL;
    for (size_t i = 0; i < sizeof names / sizeof names[0] && version != NULL; ++i)
        known |= strncmp((const char*)version, names[i], strlen(names[i])) == 0;
    printf("%-40s \"%s\"%s\n", "GET_WIN_VERSION()", version ? (const char*)version : "",
           version ? "" : " (a version after Windows XP)");
    expect(known);
    SysFreeString(version);

    FreeLibrary(dll);
    printf(failures ? "%d unexpected results\n" : "all results as expected\n", failures);
    return failures ? 1 : 0;
}
