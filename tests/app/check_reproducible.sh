#!/bin/bash
# Builds the exe again from a copy of the source in a fresh directory, without a compiler cache,
# with the same deployment settings (public key, host, ...) as BUILD, and expects the very bytes
# of BUILD's unsigned exe.  usage: check_reproducible.sh BUILD
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$(dirname "$0")/../.." && pwd)
reference="$build/Quillor - Updater.unsigned.exe"
[ -f "$reference" ] || reference="$build/Quillor - Updater.exe"
scratch=$(mktemp -d /tmp/quillor-rebuild.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

mkdir "$scratch/source"
for entry in "$source"/*; do  # the sources, without build trees and pictures of the docs
    [ "$(basename "$entry")" = docs ] || [ -e "$entry/win/CMakeCache.txt" ] || cp -r "$entry" "$scratch/source/"
done
# Every deployment setting of BUILD except signing and its own paths; the development key's
# public half when BUILD made one.
settings=()
while IFS= read -r line; do
    case $line in
        QUILLOR_SIGN*|QUILLOR_WINEPREFIX:*|QUILLOR_SHIPPED_BUILD:*|QUILLOR_PUBLIC_KEY_PEM:*=) ;;
        QUILLOR_*|CMAKE_BUILD_TYPE:*) settings+=("-D$line") ;;
    esac
done < "$build/CMakeCache.txt"
[[ " ${settings[*]} " == *" -DQUILLOR_PUBLIC_KEY_PEM:"* ]] ||
    settings+=("-DQUILLOR_PUBLIC_KEY_PEM=$build/devkey/quillor-dev.pub.pem")
toolchain=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$build/CMakeCache.txt")

unset CMAKE_CXX_COMPILER_LAUNCHER CMAKE_C_COMPILER_LAUNCHER
export CCACHE_DISABLE=1
cmake -S "$scratch/source" -B "$scratch/win" -G Ninja -DQUILLOR_SIGN=OFF "${settings[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$scratch/source/cmake/$(basename "$toolchain")" >"$scratch/configure.log" 2>&1 ||
    { cat "$scratch/configure.log"; exit 1; }
cmake --build "$scratch/win" --target quillor_updater >"$scratch/build.log" 2>&1 ||
    { cat "$scratch/build.log"; exit 1; }

rebuilt="$scratch/win/Quillor - Updater.exe"
sha256sum "$reference" "$rebuilt" | sed "s|$scratch|<fresh tree>|"
cmp "$reference" "$rebuilt" || { echo "check_reproducible: the rebuilt exe differs" >&2; exit 1; }
echo "check_reproducible: bit-identical"
