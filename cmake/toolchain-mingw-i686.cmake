# Cross build for 32-bit Windows (i686): Korrin Server and the library.
set(KORRIN_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KORRIN_WINE_ARGS "")
include("${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake")
