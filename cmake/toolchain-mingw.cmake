# Cross build for Windows with MinGW-w64, posix thread model (std::mutex for GoogleTest).
# Included by the per-architecture toolchain files, which set KORRIN_MINGW_TRIPLE,
# CMAKE_SYSTEM_PROCESSOR and KORRIN_WINE_ARGS (how scripts/wine-run picks the prefix).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${KORRIN_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORRIN_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KORRIN_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KORRIN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Single-file binaries: no libgcc/libstdc++/winpthread DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# ctest runs the Windows test programs through Wine, in the prefix scripts/wine-run picks.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run" ${KORRIN_WINE_ARGS})
