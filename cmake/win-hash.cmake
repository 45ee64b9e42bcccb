# File digest: the build-time fixture its tests compare against, and the hashing benchmark.

# A 3 MiB pattern and its digest by the host's sha256sum, an implementation independent of CNG.
set(QUILLOR_HASH_FIXTURES ${CMAKE_BINARY_DIR}/fixtures/hash)
file(WRITE ${QUILLOR_HASH_FIXTURES}/make-pattern.pl [=[
# Writes 3 MiB of a 32-bit linear congruential sequence (one byte per step) to standard output.
binmode STDOUT;
my $x = 20261208;
my $out = '';
for (1 .. 3 * 1048576) {
    $x = ($x * 1103515245 + 12345) % 4294967296;
    $out .= chr(($x >> 16) & 255);
}
print $out;
]=])
add_custom_command(
    OUTPUT ${QUILLOR_HASH_FIXTURES}/pattern-3mib.bin ${QUILLOR_HASH_FIXTURES}/pattern-3mib.sha256
    COMMAND perl ${QUILLOR_HASH_FIXTURES}/make-pattern.pl > ${QUILLOR_HASH_FIXTURES}/pattern-3mib.bin
    COMMAND sha256sum ${QUILLOR_HASH_FIXTURES}/pattern-3mib.bin > ${QUILLOR_HASH_FIXTURES}/pattern-3mib.sha256
    DEPENDS ${QUILLOR_HASH_FIXTURES}/make-pattern.pl
    COMMENT "Hash test fixture (3 MiB pattern, sha256sum)")
add_custom_target(hash_fixtures ALL
    DEPENDS ${QUILLOR_HASH_FIXTURES}/pattern-3mib.bin ${QUILLOR_HASH_FIXTURES}/pattern-3mib.sha256)
if(TARGET tests_update)
    add_dependencies(tests_update hash_fixtures)
endif()

# HashFile against a bare CNG loop on one big file; bench/hash/run.sh drives it.
add_executable(bench_hash ${CMAKE_SOURCE_DIR}/bench/hash/hash_bench_win.cpp)
target_link_libraries(bench_hash PRIVATE quillor_core ${QUILLOR_SYSTEM_IMPORTS})
target_link_options(bench_hash PRIVATE -municode)
