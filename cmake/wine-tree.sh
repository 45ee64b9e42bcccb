# Sourced with $build set: the one place that picks the Windows build tree whose programs run
# under Wine here. The shipped exe is i686 (build/win); where the kernel runs no 32-bit programs,
# and so no 32-bit Wine, the tests and the demo run an x86_64 copy (build/win64) under wine64.
# Whether the kernel runs 32-bit programs is asked of QUILLOR_32BIT_PROBE, a command (default: the
# 32-bit loader), so that a test takes either branch, as detected, on any machine.
# QUILLOR_WINE_ARCH=x86_64 takes the copy on any machine without asking the probe.
# Sets: runs_32bit (yes or no), wine_tree, wine_loader, wine_toolchain, wine_copy_reason (empty
# on the i686 path), and copy_tree, copy_loader, copy_toolchain (the x86_64 copy, on any path).
copy_tree=$build/win64
copy_loader=/usr/lib/wine/wine64
copy_toolchain=mingw-x86_64.cmake
if ${QUILLOR_32BIT_PROBE:-/lib/ld-linux.so.2 --version} >/dev/null 2>&1; then
    runs_32bit=yes
else
    runs_32bit=no
fi
if [ "${QUILLOR_WINE_ARCH:-}" = x86_64 ]; then
    wine_copy_reason="QUILLOR_WINE_ARCH=x86_64 asks for it"
elif [ "$runs_32bit" = no ]; then
    wine_copy_reason="this kernel runs no 32-bit programs"
else
    wine_copy_reason=""
fi
if [ -z "$wine_copy_reason" ]; then
    wine_tree=$build/win
    wine_loader=wine
    wine_toolchain=mingw-i686.cmake
else
    wine_tree=$copy_tree
    wine_loader=$copy_loader
    wine_toolchain=$copy_toolchain
fi
# A sourced file returns its last status, and its callers run under "set -e".
true
