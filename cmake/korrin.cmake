# Build helpers shared by every folder: warnings, GoogleTest, test registration.

if(WIN32)
    # Deliverables land together in build/<preset>/bin; test programs stay out of it.
    set(KORRIN_BIN_DIR "${CMAKE_BINARY_DIR}/bin")
endif()
# Both Windows builds make every deliverable. The packages are made by the 32-bit build and
# take the 64-bit program and library from the win64 build's bin folder.
set(KORRIN_WINDOWS_LABEL win32)
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(KORRIN_WINDOWS_LABEL win64)
endif()
set(KORRIN_WIN64_BIN "${PROJECT_SOURCE_DIR}/build/win64/bin" CACHE PATH
    "bin folder of the win64 build, whose program and library the packages carry")

function(korrin_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow)
endfunction()

# GoogleTest from the source tree of Debian's googletest package, built for either target.
set(KORRIN_GTEST_SRC "/usr/src/googletest" CACHE PATH "GoogleTest source tree")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory("${KORRIN_GTEST_SRC}" "${CMAKE_BINARY_DIR}/_googletest" EXCLUDE_FROM_ALL)
include(GoogleTest)

# korrin_test(name SOURCES ... LIBS ... [LABELS ...] [SERIAL])
# Native tests are discovered one by one; Windows tests run as one ctest entry per program
# under Wine (the emulator of the toolchain), which keeps Wine start-ups few.
function(korrin_test name)
    cmake_parse_arguments(T "SERIAL" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
    korrin_warnings(${name})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/tests")
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    if(CMAKE_CROSSCOMPILING)
        add_test(NAME ${name} COMMAND ${name})
        set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${KORRIN_WINDOWS_LABEL};${T_LABELS}")
        if(T_SERIAL)
            set_tests_properties(${name} PROPERTIES RESOURCE_LOCK korrin_wine_session)
        endif()
    elseif(T_SERIAL)
        # Black-box runs share one Wine session (single instance, ports): one at a time. They
        # drive each Windows build: the 64-bit one on every host, the 32-bit one (label run32)
        # where 32-bit programs run. The korrin-relay cases go with the 64-bit run only.
        foreach(build win64 win32)
            set(args)
            set(labels "blackbox;${T_LABELS}")
            if(build STREQUAL win32)
                set(args --gtest_filter=-*/Linux)
                set(labels "blackbox;run32;${T_LABELS}")
            endif()
            add_test(NAME ${name}.${build} COMMAND ${name} ${args})
            set_tests_properties(${name}.${build} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${labels}"
                                 ENVIRONMENT KORRIN_WINDOWS_BUILD=${build}
                                 RESOURCE_LOCK korrin_wine_session)
        endforeach()
    else()
        gtest_discover_tests(${name} PROPERTIES LABELS "unit;${T_LABELS}")
    endif()
endfunction()

# korrin_dll_beside(program): a copy of oxasoft.dll beside the program, where LoadLibraryA looks
# first, renewed whenever the DLL is rebuilt (a POST_BUILD copy of the program would keep a stale
# DLL when only the library changed).
function(korrin_dll_beside program)
    get_target_property(dir ${program} RUNTIME_OUTPUT_DIRECTORY)
    add_custom_command(OUTPUT "${dir}/oxasoft.dll"
        COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:oxasoft>" "${dir}/oxasoft.dll"
        DEPENDS oxasoft
        VERBATIM)
    add_custom_target(${program}_oxasoft_dll DEPENDS "${dir}/oxasoft.dll")
    add_dependencies(${program} ${program}_oxasoft_dll)
endfunction()

# nlohmann/json, header-only, from Debian's nlohmann-json3-dev. A cross compiler must not see
# the rest of /usr/include, so it gets a folder that holds only that library:
# KORRIN_NLOHMANN_DIR, for target_include_directories(... SYSTEM ...).
find_path(KORRIN_NLOHMANN_INCLUDE nlohmann/json.hpp PATHS /usr/include
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT KORRIN_NLOHMANN_INCLUDE)
    message(FATAL_ERROR "nlohmann/json.hpp not found: install nlohmann-json3-dev")
endif()
set(KORRIN_NLOHMANN_DIR "${CMAKE_BINARY_DIR}/_nlohmann")
file(MAKE_DIRECTORY "${KORRIN_NLOHMANN_DIR}")
file(CREATE_LINK "${KORRIN_NLOHMANN_INCLUDE}/nlohmann" "${KORRIN_NLOHMANN_DIR}/nlohmann" SYMBOLIC)
include_directories(SYSTEM "${KORRIN_NLOHMANN_DIR}")
