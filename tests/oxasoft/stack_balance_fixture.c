/* A 32-bit DLL with one export per case check_stack_balance.py must judge: its test expects
 * the two good ones passed and the two faulty ones reported. */
#include <stdlib.h>
#include <windows.h>

/* Good: ends in a tail jump to a helper whose ret pops the export's 8 bytes. */
__attribute__((noinline)) static int __stdcall scaled(int a, int b) {
    return a * b + rand();
}
int __stdcall TAIL_CALL(int a, int b) {
    return scaled(a + 1, b);
}
/* Good: ends in a jump through the import table. */
DWORD __stdcall IMPORT_JUMP(void) {
    return GetTickCount();
}
/* Faulty: cdecl, linked to the list's CDECL_BY_MISTAKE@4 by ld's stdcall fixup. */
static volatile int last;
void CDECL_BY_MISTAKE(int a) {
    last = a;
}
/* Faulty for the check: no ret and no tail jump to follow. */
void __stdcall NEVER_RETURNS(int a) {
    exit(a);
}
