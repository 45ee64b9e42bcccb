#!/bin/bash
# Installs what is missing, builds both trees and runs every test (Windows tests under Wine).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUILLOR_BUILD_DIR:-$root/build}
start=$(date +%s)

"$root/cmake/setup.sh"
"$root/cmake/build.sh"
source "$root/cmake/wine-tree.sh"  # after setup: a fresh machine gets its 32-bit loader there

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
# What ran: players get the i686 exe, and a green run on the x86_64 copy says nothing of its code.
if [ "$wine_tree" = "$build/win" ]; then
    echo "test.sh: the Windows tests ran the shipped i686 exe ($wine_tree) under 32-bit Wine"
else
    echo "test.sh: ########################################################################"
    echo "test.sh: # THE SHIPPED i686 EXE WAS CHECKED STATICALLY ONLY (exe_format, exe_imports):"
    echo "test.sh: # $wine_copy_reason, so the Windows tests ran the x86_64"
    echo "test.sh: # copy ($wine_tree) under wine64. Run them on a machine with 32-bit support."
    echo "test.sh: ########################################################################"
fi
echo "test.sh: $(( $(date +%s) - start )) s, $([ $status = 0 ] && echo PASSED || echo FAILED)"
exit $status
