# Host side: the publisher tool, the portable logic under sanitizers, end-to-end tests, benchmarks.
find_package(OpenSSL 3 REQUIRED)
find_package(Threads REQUIRED)

set(QUILLOR_WIN_BUILD "" CACHE PATH "Windows build tree whose exe the end-to-end tests run")
set(QUILLOR_SANITIZE ON CACHE BOOL "Build the portable unit tests with ASan and UBSan")

add_compile_options(-Wall -Wextra)
if(NOT CMAKE_BUILD_TYPE)
    set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# The portable core: every program source that includes no Windows header.
file(GLOB QUILLOR_PORTABLE CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/base/*.cpp ${CMAKE_SOURCE_DIR}/app/*.cpp ${CMAKE_SOURCE_DIR}/update/*.cpp ${CMAKE_SOURCE_DIR}/ui/*.cpp)
list(FILTER QUILLOR_PORTABLE EXCLUDE REGEX "_win\\.cpp$")

add_library(quillor_portable STATIC ${QUILLOR_PORTABLE})
target_include_directories(quillor_portable PUBLIC ${CMAKE_SOURCE_DIR})

# The same sources again with sanitizers, for the portable unit tests.
file(GLOB QUILLOR_PORTABLE_TESTS CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/tests/base/*_test.cpp ${CMAKE_SOURCE_DIR}/tests/app/*_test.cpp
    ${CMAKE_SOURCE_DIR}/tests/update/*_test.cpp
    ${CMAKE_SOURCE_DIR}/tests/ui/*_test.cpp)
list(FILTER QUILLOR_PORTABLE_TESTS EXCLUDE REGEX "_win_test\\.cpp$")
file(GLOB QUILLOR_NATIVE_SUPPORT CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/native/*.cpp)
add_executable(portable_tests ${QUILLOR_PORTABLE} ${QUILLOR_PORTABLE_TESTS} ${QUILLOR_NATIVE_SUPPORT})
target_include_directories(portable_tests PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(portable_tests PRIVATE gtest_main)
target_compile_definitions(portable_tests PRIVATE QUILLOR_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
if(QUILLOR_SANITIZE)
    target_compile_options(portable_tests PRIVATE -fsanitize=address,undefined -fno-sanitize-recover=all)
    target_link_options(portable_tests PRIVATE -fsanitize=address,undefined)
endif()
add_test(NAME portable COMMAND portable_tests --gtest_color=no)
set_tests_properties(portable PROPERTIES TIMEOUT 300)

# Everything else on the host lives in its own folder's CMake file.
foreach(dir tools/publish tests/tools tests/e2e tests/window tests/fuzz tests/package tests/scripts bench)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
        add_subdirectory(${dir})
    endif()
endforeach()

# Installing the publisher and its Debian package.
include(${CMAKE_SOURCE_DIR}/cmake/package.cmake)
