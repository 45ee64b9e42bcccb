# Windows side: the updater exe, its resources and the Windows unit tests run under Wine.
enable_language(RC)

set(QUILLOR_UPDATE_HOST "127.0.0.1" CACHE STRING "Host of the built-in default base URL (http://HOST:8080)")
set(QUILLOR_UPDATE_BASE_PATH "" CACHE STRING "Path of the built-in base URL after the port, e.g. /quillor2 (a key rotation moves players to a new base)")
if(NOT QUILLOR_UPDATE_BASE_PATH MATCHES "^(/[A-Za-z0-9._~-]+)*$")
    message(FATAL_ERROR "QUILLOR_UPDATE_BASE_PATH must be empty or /name[/name...] without a trailing /")
endif()
set(QUILLOR_PUBLIC_KEY_PEM "" CACHE FILEPATH "Publisher's RSA-2048 public key (PEM); empty: a development key is generated into the build tree")

set(QUILLOR_WINEPREFIX "${CMAKE_BINARY_DIR}/wine" CACHE PATH "Wine prefix of this build tree")
set(QUILLOR_SHIPPED_BUILD "${CMAKE_BINARY_DIR}" CACHE PATH
    "Tree of the shipped i686 exe, whose file the format and resource tests inspect (an x86_64 test copy points at build/win)")
# An x86_64 copy needs the 64-bit loader: plain "wine" takes the 32-bit one whenever it is installed.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(wine_loader /usr/lib/wine/wine64)
else()
    set(wine_loader wine)
endif()
file(WRITE ${CMAKE_BINARY_DIR}/wine-run
    "#!/bin/sh\n# Runs a Windows program under this build tree's Wine prefix, with a caller's WINEDLLOVERRIDES added.\n"
    "export WINEPREFIX='${QUILLOR_WINEPREFIX}' WINEDEBUG=-all WINEDLLOVERRIDES=\"mscoree,mshtml=\${WINEDLLOVERRIDES:+;\$WINEDLLOVERRIDES}\"\n"
    "exec ${wine_loader} \"$@\"\n")
file(CHMOD ${CMAKE_BINARY_DIR}/wine-run PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

include(cmake/public_key.cmake)

add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0603
    QUILLOR_UPDATE_HOST="${QUILLOR_UPDATE_HOST}" QUILLOR_UPDATE_BASE_PATH="${QUILLOR_UPDATE_BASE_PATH}")
add_compile_options(-Wall -Wextra -O2 -ffunction-sections -fdata-sections)
add_link_options(-static -static-libgcc -static-libstdc++ -Wl,--gc-sections)

file(GLOB QUILLOR_SOURCES CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/base/*.cpp ${CMAKE_SOURCE_DIR}/app/*.cpp ${CMAKE_SOURCE_DIR}/update/*.cpp ${CMAKE_SOURCE_DIR}/ui/*.cpp)
list(REMOVE_ITEM QUILLOR_SOURCES ${CMAKE_SOURCE_DIR}/app/main_win.cpp)
add_library(quillor_core STATIC ${QUILLOR_SOURCES} ${QUILLOR_KEY_SOURCE})
target_include_directories(quillor_core PUBLIC ${CMAKE_SOURCE_DIR})
# The system DLLs that are no KnownDLLs (wininet, bcrypt, gdiplus, oleacc) are never imported:
# app/system_dlls_win.cpp defines their functions, which load the DLL from System32 alone at first
# use, so that a DLL of the same name in the game folder is never taken. A function missing from
# app/system_dlls.inc is an undefined reference. Tests and tools may link the import libraries too.
target_link_libraries(quillor_core PUBLIC shlwapi shell32 user32 gdi32 ole32 oleaut32)
set(QUILLOR_SYSTEM_IMPORTS wininet bcrypt gdiplus oleacc)

add_executable(quillor_updater WIN32 app/main_win.cpp resources/updater.rc)
set_target_properties(quillor_updater PROPERTIES OUTPUT_NAME "Quillor - Updater")
target_link_options(quillor_updater PRIVATE -municode -s)
target_link_libraries(quillor_updater PRIVATE quillor_core)
set_source_files_properties(resources/updater.rc PROPERTIES OBJECT_DEPENDS
    "${CMAKE_SOURCE_DIR}/resources/updater.manifest;${CMAKE_SOURCE_DIR}/resources/quillor.ico;${CMAKE_SOURCE_DIR}/resources/background.png")

# Windows unit tests: one executable per program folder, each run under Wine by ctest.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# Small helper programs the tests start as child processes (a fake game, a lock holder, ...).
file(GLOB QUILLOR_TEST_HELPERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/helpers/*.cpp)
foreach(helper ${QUILLOR_TEST_HELPERS})
    get_filename_component(name ${helper} NAME_WE)
    add_executable(${name} ${helper})
    target_link_libraries(${name} PRIVATE shell32 crypt32 ole32 oleacc oleaut32)
    list(APPEND QUILLOR_HELPER_TARGETS ${name})
endforeach()

foreach(area base app update ui)
    file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${area}/*_test.cpp)
    if(tests)
        add_executable(tests_${area} ${tests} ${CMAKE_SOURCE_DIR}/tests/win_test_support.cpp)
        target_link_libraries(tests_${area} PRIVATE quillor_core gtest_main ws2_32 ${QUILLOR_SYSTEM_IMPORTS})
        target_include_directories(tests_${area} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
        target_compile_definitions(tests_${area} PRIVATE
            QUILLOR_SOURCE_DIR="${CMAKE_SOURCE_DIR}" QUILLOR_BINARY_DIR="${CMAKE_BINARY_DIR}"
            QUILLOR_DEV_KEY="${QUILLOR_SIGNING_KEY}" QUILLOR_SHIPPED_BUILD="${QUILLOR_SHIPPED_BUILD}")
        add_dependencies(tests_${area} quillor_updater ${QUILLOR_HELPER_TARGETS})
        add_test(NAME win_${area} COMMAND tests_${area} --gtest_color=no)
        set_tests_properties(win_${area} PROPERTIES TIMEOUT 300)
    endif()
endforeach()

add_test(NAME exe_format COMMAND bash ${CMAKE_SOURCE_DIR}/tests/app/check_exe.sh
    "${QUILLOR_SHIPPED_BUILD}/$<TARGET_FILE_NAME:quillor_updater>")
# Both import tables of every exe this tree builds or runs, and of the shipped tree's, read
# statically: it holds on a machine that cannot run the shipped i686 exe too.
add_test(NAME exe_imports COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/app/check_imports.py
    ${CMAKE_BINARY_DIR} ${QUILLOR_SHIPPED_BUILD})

# Fragments of single subsystems (test fixtures made at build time and the like).
file(GLOB QUILLOR_WIN_FRAGMENTS ${CMAKE_SOURCE_DIR}/cmake/win-*.cmake)
foreach(fragment ${QUILLOR_WIN_FRAGMENTS})
    include(${fragment})
endforeach()
