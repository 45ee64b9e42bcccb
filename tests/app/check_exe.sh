#!/bin/bash
# The shipped exe: PE32, Windows GUI subsystem, imports from KnownDLLs only, ASLR and DEP with
# relocations kept, no section both writable and executable, no build-machine path inside, and a
# valid Authenticode signature when the build signs (the throw-away certificate beside it is the CA).
# usage: check_exe.sh EXE
set -euo pipefail
exe=$1
build=$(cd "$(dirname "$exe")" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
dump=$(i686-w64-mingw32-objdump -p "$exe")
fail() { echo "check_exe: $*" >&2; exit 1; }
grep -q "^Magic[[:space:]]*010b[[:space:]]*(PE32)" <<<"$dump" || fail "not a PE32 image"
grep -q "^Subsystem[[:space:]]*00000002[[:space:]]*(Windows GUI)" <<<"$dump" || fail "not the GUI subsystem"
# KnownDLLs only, every slot of both import tables leading where it must (check_imports.py).
python3 "$source/tests/app/check_imports.py" --updater "$exe" || fail "import tables refused"

# Little-endian unsigned number of $2 bytes at offset $1 of the exe.
num() { od -An -tu"$2" -j "$1" -N "$2" "$exe" | tr -d ' \n'; }
pe=$(num 60 4)
sections=$(num $((pe + 6)) 2)
optional=$((pe + 24))
table=$((optional + $(num $((pe + 20)) 2)))
directories=$((optional + 96))

listing=""
for ((i = 0; i < sections; i++)); do
    header=$((table + 40 * i))
    name=$(dd if="$exe" bs=1 skip="$header" count=8 2>/dev/null | tr -d '\0')
    flags=$(num $((header + 36)) 4)
    perm=$( ((flags & 0x40000000)) && printf r || printf -)$( ((flags & 0x80000000)) && printf w || printf -)$( ((flags & 0x20000000)) && printf x || printf -)
    listing+=" $name:$perm"
    [[ $perm == ?wx ]] && fail "section $name is writable and executable"
done
echo "check_exe: sections:$listing"

dll=$(num $((optional + 70)) 2)
((dll & 0x40)) || fail "no DYNAMIC_BASE (ASLR)"
((dll & 0x100)) || fail "no NX_COMPAT (DEP)"
(($(num $((pe + 22)) 2) & 0x1)) && fail "relocations stripped"
[[ $listing == *" .reloc:"* ]] && (($(num $((directories + 5 * 8 + 4)) 4) > 0)) || fail "no base relocations"
echo "check_exe: DYNAMIC_BASE, NX_COMPAT, relocations kept (a 32-bit image has no HIGH_ENTROPY_VA)"

for path in "$build" "$source" /work/ /root/ /tmp/ /home/; do
    grep -q -a -F -- "$path" "$exe" && fail "the exe holds the build-machine path $path"
done
echo "check_exe: no build-machine paths"

if (($(num $((directories + 4 * 8 + 4)) 4) > 0)); then
    ca=()
    [ -f "$build/codesign/throwaway-cert.pem" ] && ca=(-CAfile "$build/codesign/throwaway-cert.pem")
    verdict=$(osslsigncode verify "${ca[@]}" -in "$exe" 2>&1) || fail "signature refused: $verdict"
    echo "check_exe: Authenticode: $(grep -m1 '^Signature verification' <<<"$verdict")"
elif grep -qiE "^QUILLOR_SIGN:BOOL=(ON|1|TRUE|YES|Y)$" "$build/CMakeCache.txt" 2>/dev/null; then
    fail "the build signs, but the exe carries no signature"
fi
