#!/bin/bash
# Makes a delay-load import library for one system DLL from mingw's ordinary import library, so
# that the exe names the DLL in its delay-load table and loads it from System32 when first used.
# usage: delay-lib.sh TRIPLE IMPORT_LIB DLL_NAME OUTPUT_LIB
set -euo pipefail
triple=$1 import=$2 dll=$3 output=$4
# Every function the import library offers, by the symbol the compiler calls it by:
#   "00000000 I __imp__InternetOpenA@20" (i686) or "0000000000000000 I __imp_InternetOpenA" (x86_64).
names=$("$triple-nm" "$import" | sed -n 's/^[0-9a-f]* I __imp_//p' | LC_ALL=C sort -u)
[ -n "$names" ] || { echo "delay-lib: no functions in $import" >&2; exit 1; }
kill_at=()
if [ "${triple%%-*}" = i686 ]; then
    names=$(sed 's/^_//' <<<"$names")  # dlltool puts the leading underscore back
    kill_at=(--kill-at)                 # imported as "InternetOpenA", as the DLL exports it
fi
# Relative names only: dlltool derives its symbols from them, and build paths must not matter.
cd "$(dirname "$output")"
base=$(basename "$output" .a)
{ echo "LIBRARY $dll"; echo "EXPORTS"; echo "$names"; } >"$base.def"
"$triple-dlltool" "${kill_at[@]}" --input-def "$base.def" --dllname "$dll" --output-delaylib "$base.a.new"
mv "$base.a.new" "$base.a"
