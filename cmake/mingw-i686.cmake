# Cross-compiles the updater for 32-bit Windows with the posix-thread mingw-w64 compilers.
# mingw-x86_64.cmake reuses this file for the x86_64 test copy by setting QUILLOR_MINGW_TRIPLE first.
if(NOT QUILLOR_MINGW_TRIPLE)
    set(QUILLOR_MINGW_TRIPLE i686-w64-mingw32)
endif()
string(REGEX REPLACE "-.*" "" QUILLOR_MINGW_CPU ${QUILLOR_MINGW_TRIPLE})
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${QUILLOR_MINGW_CPU})
set(CMAKE_C_COMPILER ${QUILLOR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILLOR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUILLOR_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QUILLOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests run under the project's own Wine prefix; the wrapper is written at configure time.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
