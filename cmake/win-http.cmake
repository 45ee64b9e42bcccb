# Download benchmark exe (bench/http/run.sh builds and runs it): HttpGet against a bare WinINet loop.
# Built from the transfer's own sources so it does not wait for the rest of the program.
add_executable(http_bench EXCLUDE_FROM_ALL ${CMAKE_SOURCE_DIR}/bench/http/http_bench_win.cpp
    ${CMAKE_SOURCE_DIR}/update/http_win.cpp ${CMAKE_SOURCE_DIR}/update/url_encode.cpp
    ${CMAKE_SOURCE_DIR}/update/status_win.cpp)
target_include_directories(http_bench PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(http_bench PRIVATE wininet)
