# Update run: the benchmark's bare CNG and WinINet loops (bench/update drives them from the host).
add_executable(bench_update ${CMAKE_SOURCE_DIR}/bench/update/bare_loops_win.cpp)
target_link_libraries(bench_update PRIVATE wininet bcrypt)

# Signed manifests for the update run's status tests, made with the development key at build time.
# a.txt = "alpha", sub/b.bin = 100000 x "b", zero.txt = ""; "full" lists all three, "zeros" two
# empty files. Without a development key (custom public key) the tests skip themselves.
if(QUILLOR_SIGNING_KEY AND TARGET tests_update)
    set(run_dir ${CMAKE_BINARY_DIR}/fixtures/update_run)
    string(SHA256 alpha_sha "alpha")
    string(REPEAT "b" 100000 b_bytes)
    string(SHA256 b_sha "${b_bytes}")
    string(SHA256 empty_sha "")
    file(CONFIGURE OUTPUT ${run_dir}/full.txt NEWLINE_STYLE UNIX CONTENT
        "serial 5\n${alpha_sha}\t5\ta.txt\n${b_sha}\t100000\tsub/b.bin\n${empty_sha}\t0\tzero.txt\n")
    file(CONFIGURE OUTPUT ${run_dir}/zeros.txt NEWLINE_STYLE UNIX CONTENT
        "serial 6\n${empty_sha}\t0\tzero.txt\n${empty_sha}\t0\tdir/other.txt\n")
    set(run_outputs)
    foreach(name full zeros)
        add_custom_command(OUTPUT ${run_dir}/${name}.sig
            COMMAND ${OPENSSL_EXECUTABLE} dgst -sha256 -sign ${QUILLOR_SIGNING_KEY} -out ${name}.sig ${name}.txt
            WORKING_DIRECTORY ${run_dir} DEPENDS ${run_dir}/${name}.txt
            COMMENT "Update run fixture ${name}.sig")
        list(APPEND run_outputs ${run_dir}/${name}.sig)
    endforeach()
    add_custom_target(update_run_fixtures ALL DEPENDS ${run_outputs})
    add_dependencies(tests_update update_run_fixtures)
endif()

# The block search over a seed in memory, by CPU time; bench/patch/search.sh drives it.
add_executable(bench_search ${CMAKE_SOURCE_DIR}/bench/patch/search_bench_win.cpp)
target_link_libraries(bench_search PRIVATE quillor_core)
target_link_options(bench_search PRIVATE -municode)
