/* A C caller that has only oxasoft.h, the import library and the DLL: it must compile as C,
 * link against liboxasoft.dll.a and get the right results. Exit code 0 means all passed. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "oxasoft.h"

static int failures = 0;

static void check(int ok, const char* what) {
    if (!ok) {
        printf("FAILED: %s\n", what);
        ++failures;
    }
}

int main(void) {
    char hex[] = "&h1f";
    short v = 4660, high = 0, low = 0;
    OXA_BSTR bytes = SysAllocStringByteLen("\x12\xFF", 2);
    OXA_BSTR digits = GET_NIBBLED_NUMBER(bytes); /* bytes now belongs to the library */

    check(MYFUNCTION1(41) == 42, "MYFUNCTION1");
    check(CONV_HEXTONUMBER(hex) == 31 && strcmp(hex, "1F") == 0, "CONV_HEXTONUMBER");
    MAKE_WEG_ID(&v, &high, &low);
    check(high == 18 && low == 52, "MAKE_WEG_ID");
    check(digits != NULL && SysStringByteLen(digits) == 2 && memcmp(digits, "12", 2) == 0,
          "GET_NIBBLED_NUMBER");
    SysFreeString(digits);
    check(CHANGE_LMCODE_NOW("\xF0") == NULL, "empty result is NULL");
    if (failures == 0) printf("header caller: all passed\n");
    return failures == 0 ? 0 : 1;
}
