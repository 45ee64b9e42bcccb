#!/bin/bash
# The shipped exe: PE32, Windows GUI subsystem, Unicode entry, and imports from system DLLs only.
set -euo pipefail
exe=$1
dump=$(i686-w64-mingw32-objdump -p "$exe")
fail() { echo "check_exe: $*" >&2; exit 1; }
grep -q "^Magic[[:space:]]*010b[[:space:]]*(PE32)" <<<"$dump" || fail "not a PE32 image"
grep -q "^Subsystem[[:space:]]*00000002[[:space:]]*(Windows GUI)" <<<"$dump" || fail "not the GUI subsystem"
allowed="kernel32.dll user32.dll gdi32.dll gdiplus.dll wininet.dll bcrypt.dll shell32.dll shlwapi.dll msvcrt.dll ole32.dll"
for dll in $(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump"); do
    [[ " $allowed " == *" ${dll,,} "* ]] || fail "imports $dll"
done
echo "check_exe: $(basename "$exe"): PE32, GUI, imports: $(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr '\n' ' ')"
