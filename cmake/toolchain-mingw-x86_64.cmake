# Cross build for 64-bit Windows (x86_64): the library only, tested in a 64-bit Wine prefix.
set(KORRIN_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KORRIN_WINE_ARGS --win64)
include("${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake")
