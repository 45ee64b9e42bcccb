#!/bin/bash
# The shipped exe: PE32, Windows GUI subsystem, imports from system DLLs only, the DLLs that are
# no KnownDLLs (the arguments after the exe) in the delay-load table alone, ASLR and DEP with
# relocations kept, no section both writable and executable, no build-machine path inside, and a
# valid Authenticode signature when the build signs (the throw-away certificate beside it is the CA).
# usage: check_exe.sh EXE DELAYED_DLL...
set -euo pipefail
exe=$1
shift
delayed=" ${*,,} "
build=$(cd "$(dirname "$exe")" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
dump=$(i686-w64-mingw32-objdump -p "$exe")
fail() { echo "check_exe: $*" >&2; exit 1; }
grep -q "^Magic[[:space:]]*010b[[:space:]]*(PE32)" <<<"$dump" || fail "not a PE32 image"
grep -q "^Subsystem[[:space:]]*00000002[[:space:]]*(Windows GUI)" <<<"$dump" || fail "not the GUI subsystem"
# KnownDLLs only: Windows maps them from System32 whatever lies in the exe's folder.
allowed="kernel32.dll user32.dll gdi32.dll shell32.dll shlwapi.dll msvcrt.dll ole32.dll oleaut32.dll"
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump")
for dll in $imports; do
    [[ " $allowed " == *" ${dll,,} "* ]] || fail "imports $dll (not a KnownDLL; delay-load it)"
done
echo "check_exe: $(basename "$exe"): PE32, GUI, imports: $(tr '\n' ' ' <<<"$imports")"

# Little-endian unsigned number of $2 bytes at offset $1 of the exe.
num() { od -An -tu"$2" -j "$1" -N "$2" "$exe" | tr -d ' \n'; }
pe=$(num 60 4)
sections=$(num $((pe + 6)) 2)
optional=$((pe + 24))
table=$((optional + $(num $((pe + 20)) 2)))
directories=$((optional + 96))

# File offset of an RVA, through the section that holds it.
offset_of() {
    local i header start size
    for ((i = 0; i < sections; i++)); do
        header=$((table + 40 * i))
        start=$(num $((header + 12)) 4)
        size=$(num $((header + 8)) 4)
        if (($1 >= start && $1 < start + size)); then
            echo $(($1 - start + $(num $((header + 20)) 4)))
            return
        fi
    done
    fail "RVA $1 lies in no section"
}
# The delay-load directory (data directory 13): 32-byte descriptors up to an empty one, each
# "attributes, name, module handle, IAT, INT, bound IAT, unload IAT, time stamp"; names are RVAs
# when attribute bit 0 is set, else addresses.
delay_dlls=""
directory=$(num $((directories + 13 * 8)) 4)
if ((directory > 0)); then
    descriptor=$(offset_of "$directory")
    while (($(num $((descriptor + 4)) 4) != 0)); do
        name=$(num $((descriptor + 4)) 4)
        if ! (($(num "$descriptor" 4) & 1)); then name=$((name - $(num $((optional + 28)) 4))); fi
        delay_dlls+=" $(dd if="$exe" bs=1 skip="$(offset_of "$name")" count=64 2>/dev/null | tr '\0' '\n' | head -n1)"
        descriptor=$((descriptor + 32))
    done
fi
for dll in $delay_dlls; do
    [[ $delayed == *" ${dll%.[dD][lL][lL]} "* ]] || fail "delay-loads $dll, which is not on the list"
done
for dll in $delayed; do
    if grep -qix "$dll.dll" <<<"$imports"; then fail "$dll.dll is in the ordinary import table"; fi
done
# The window uses oleacc once it answers screen readers; until then it may stay out.
required="wininet bcrypt gdiplus"
grep -qs "include <oleacc.h>" "$source"/ui/*.cpp "$source"/app/*.cpp && required+=" oleacc"
for dll in $required; do
    [[ " ${delay_dlls,,} " == *" $dll.dll "* ]] || fail "$dll.dll is not in the delay-load table"
done
echo "check_exe: delay-loaded:$delay_dlls"

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
