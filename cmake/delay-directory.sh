#!/bin/bash
# Points the exe's delay-load directory (data directory 13) at the delay-load descriptors, which
# mingw-w64's ld 2.40 lays out but never names in the header. dlltool puts one 32-byte descriptor
# per DLL in a .text$2 section, ld sorts the .text$N sections by name, and the empty descriptor in
# .text$2z (app/dll_search_win.cpp) ends the table. usage: delay-directory.sh EXE LINK_MAP
set -euo pipefail
exe=$1 map=$2
fail() { echo "delay-directory: $*" >&2; exit 1; }
# Map lines of the input sections: " .text$2   0x0000000140091f60   0x20 delayload/libwininet_delay.a(...)".
first=0 count=0 end=0
while read -r name address; do
    address=$((address))
    if [ "$name" = ".text\$2z" ]; then
        end=$address
    else
        count=$((count + 1))
        if ((first == 0 || address < first)); then first=$address; fi
    fi
done < <(awk '($1 == ".text$2" || $1 == ".text$2z") && $3 == "0x20" { print $1, $2 }' "$map")
((count > 0)) || fail "no delay-load descriptors in $map"
((end == first + 32 * count)) || fail "the descriptors in $map are not one table ended by .text\$2z"

num() { od -An -tu"$2" -j "$1" -N "$2" "$exe" | tr -d ' \n'; }
pe=$(num 60 4)
optional=$((pe + 24))
case $(num "$optional" 2) in
    267) base=$(num $((optional + 28)) 4) directories=$((optional + 96)) ;;  # PE32
    523) base=$(num $((optional + 24)) 8) directories=$((optional + 112)) ;; # PE32+
    *) fail "$exe is no PE image" ;;
esac
perl -e 'print pack("VV", $ARGV[0], $ARGV[1])' $((first - base)) $((32 * (count + 1))) |
    dd of="$exe" bs=1 seek=$((directories + 13 * 8)) conv=notrunc status=none
