#!/bin/bash
# Builds the previous release's updater exe beside a Windows build tree, with that tree's key and settings.
# Usage: cmake/previous-exe.sh WIN_BUILD_DIR      (e.g. build/win; prints the exe's path last)
# The exe lands in WIN_BUILD_DIR/previous/build/"Quillor - Updater.exe": the source of
# previous_release (git archive, so it needs that commit in this clone's history), configured with
# the tree's toolchain file, QUILLOR_PUBLIC_KEY_PEM (its devkey/quillor-dev.pub.pem when none was
# given), QUILLOR_UPDATE_HOST and QUILLOR_UPDATE_BASE_PATH, unsigned, and only the exe target built.
# A second call with nothing changed builds nothing.
set -euo pipefail

# The last commit of main before files were patched by block (issue 39): the release in the field.
previous_release=4affee3a0cb9be053e34caf309fadcca0050ffbe

fail() { echo "previous-exe: $*" >&2; exit 1; }
[ $# = 1 ] || fail "usage: cmake/previous-exe.sh WIN_BUILD_DIR"
root=$(cd "$(dirname "$0")/.." && pwd)
tree=$(realpath -m "$1")
cache=$tree/CMakeCache.txt
[ -f "$cache" ] || fail "$tree is no configured Windows build tree (no CMakeCache.txt); run cmake/build.sh first"

git -C "$root" rev-parse --git-dir >/dev/null 2>&1 ||
    fail "$root is no git clone, so the previous release ($previous_release) cannot be taken from its history"
if ! git -C "$root" cat-file -e "$previous_release^{commit}" 2>/dev/null; then
    if [ "$(git -C "$root" rev-parse --is-shallow-repository)" = true ]; then
        fail "this clone is shallow and lacks the previous release's commit $previous_release;" \
             "run 'git fetch --unshallow' (or clone without --depth) and try again"
    fi
    fail "commit $previous_release (the previous release) is not in this clone's history"
fi

cached() { sed -n "s/^$1:[A-Z]*=//p" "$cache" | head -n 1; }
toolchain=$(basename "$(cached CMAKE_TOOLCHAIN_FILE)")
[ -n "$toolchain" ] || fail "$cache names no CMAKE_TOOLCHAIN_FILE"
key=$(cached QUILLOR_PUBLIC_KEY_PEM)
[ -n "$key" ] || key=$tree/devkey/quillor-dev.pub.pem
[ -f "$key" ] || fail "no public key at $key (the build tree's development key is made when it is configured)"
host=$(cached QUILLOR_UPDATE_HOST)
base_path=$(cached QUILLOR_UPDATE_BASE_PATH)

# The source is laid out again only when the commit changes; the stamp names the commit.
work=$tree/previous
if [ "$(cat "$work/src.commit" 2>/dev/null)" != "$previous_release" ]; then
    rm -rf "$work"
    mkdir -p "$work/src"
    git -C "$root" archive --format=tar "$previous_release" | tar -x -C "$work/src"
    echo "$previous_release" >"$work/src.commit"
fi
cmake -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/$toolchain" -DQUILLOR_PUBLIC_KEY_PEM="$key" \
    -DQUILLOR_UPDATE_HOST="$host" -DQUILLOR_UPDATE_BASE_PATH="$base_path" -DQUILLOR_SIGN=OFF >/dev/null
cmake --build "$work/build" --target quillor_updater >/dev/null
exe="$work/build/Quillor - Updater.exe"
[ -f "$exe" ] || fail "the build left no $exe"
echo "$exe"
