# Sourced with $build set: picks the Windows build tree whose programs run under Wine here.
# The shipped exe is i686 (build/win); where the kernel runs no 32-bit programs, and so no 32-bit
# Wine, the tests run an x86_64 copy (build/win64) under wine64 instead.
# QUILLOR_WINE_ARCH=x86_64 takes the copy on any machine, to check that path.
if [ "${QUILLOR_WINE_ARCH:-}" != x86_64 ] && /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    wine_tree=$build/win
    wine_loader=wine
    wine_toolchain=mingw-i686.cmake
else
    wine_tree=$build/win64
    wine_loader=/usr/lib/wine/wine64
    wine_toolchain=mingw-x86_64.cmake
    wine_copy_reason="this kernel runs no 32-bit programs"
    [ "${QUILLOR_WINE_ARCH:-}" = x86_64 ] && wine_copy_reason="QUILLOR_WINE_ARCH=x86_64 asks for it"
fi
