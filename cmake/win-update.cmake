# Update run: the benchmark's bare CNG and WinINet loops (bench/update drives them from the host).
add_executable(bench_update ${CMAKE_SOURCE_DIR}/bench/update/bare_loops_win.cpp)
target_link_libraries(bench_update PRIVATE wininet bcrypt)
