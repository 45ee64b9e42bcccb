#!/bin/bash
# Installs what is missing, builds the trees and runs every test (Windows tests under Wine). Where
# the kernel runs the shipped i686 exe, the demo's runs go through the x86_64 copy as well, so
# that every such run exercises both Wine paths.
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/cmake/script-errors.sh"
build=${QUILLOR_BUILD_DIR:-$root/build}
start=$(date +%s)

"$root/cmake/setup.sh"
source "$root/cmake/wine-tree.sh"  # after setup: a fresh machine gets its 32-bit loader there
copy_demo=no
[ "$wine_tree" != "$copy_tree" ] && copy_demo=yes
if [ "$copy_demo" = yes ]; then
    QUILLOR_X86_64_COPY=1 "$root/cmake/build.sh"
else
    "$root/cmake/build.sh"
fi

# One persistent wineserver for all Windows runs; stopped again however the tests end.
export WINEPREFIX="$wine_tree/wine" WINEDEBUG=-all
wineserver -p >/dev/null 2>&1 || true  # already running is fine
trap 'WINEPREFIX="$wine_tree/wine" wineserver -k 2>/dev/null || true' EXIT
# Wine's own services live as long as the server and keep the output of whichever program first
# started them; started here, they hold /dev/null instead of a test's pipe, which ctest waits on.
"$wine_tree/wine-run" cmd /c exit >/dev/null 2>&1 || true

status=0
ctest --test-dir "$wine_tree" --output-on-failure -j2 || status=1
ctest --test-dir "$build/host" --output-on-failure -j2 || status=1
copy_status=""
if [ "$copy_demo" = yes ]; then
    copy_start=$(date +%s)
    if QUILLOR_WINE_ARCH=x86_64 "$root/cmake/demo-run.sh"; then copy_status=PASSED; else copy_status=FAILED; status=1; fi
    copy_status="$copy_status in $(( $(date +%s) - copy_start )) s"
fi
# What ran: players get the i686 exe, and a green run on the x86_64 copy says nothing of its code.
if [ "$wine_tree" = "$build/win" ]; then
    echo "test.sh: the Windows tests ran the shipped i686 exe ($wine_tree) under 32-bit Wine"
    echo "test.sh: the demo's silent updates and window update ran the x86_64 copy ($copy_tree) under wine64: $copy_status"
else
    echo "test.sh: ########################################################################"
    echo "test.sh: # THE SHIPPED i686 EXE WAS CHECKED STATICALLY ONLY (exe_format, exe_imports):"
    echo "test.sh: # $wine_copy_reason, so the Windows tests ran the x86_64"
    echo "test.sh: # copy ($wine_tree) under wine64. Run them on a machine with 32-bit support."
    echo "test.sh: ########################################################################"
fi
echo "test.sh: $(( $(date +%s) - start )) s, $([ $status = 0 ] && echo PASSED || echo FAILED)"
exit $status
