#!/bin/bash
# Configures and builds both trees: build/win (the updater, cross-compiled) and build/host.
# Extra CMake arguments for the Windows tree come from QUILLOR_WIN_CMAKE_ARGS.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUILLOR_BUILD_DIR:-$root/build}
source "$root/cmake/wine-tree.sh"

cmake -S "$root" -B "$build/win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" ${QUILLOR_WIN_CMAKE_ARGS:-} >/dev/null
cmake --build "$build/win"
# What a published exe is compared with (docs/building.md: "Checking a published exe").
dpkg-query -W -f='${Package} ${Version}\n' g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix \
    gcc-mingw-w64-i686-posix-runtime binutils-mingw-w64-i686 mingw-w64-i686-dev mingw-w64-common cmake ninja-build \
    >"$build/win/toolchain.txt" 2>/dev/null || true
(cd "$build/win" && sha256sum "Quillor - Updater.exe" "Quillor - Updater.unsigned.exe" 2>/dev/null || true)
if [ "$wine_tree" != "$build/win" ]; then
    echo "build: the Windows tests run on an x86_64 copy in $wine_tree, since $wine_copy_reason"
    # The same key as the shipped exe, so that fixtures and signed test releases agree.
    mkdir -p "$wine_tree"
    if [ -d "$build/win/devkey" ] && [ ! -L "$wine_tree/devkey" ]; then
        rm -rf "$wine_tree/devkey"
        ln -s ../win/devkey "$wine_tree/devkey"
    fi
    cmake -S "$root" -B "$wine_tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$wine_toolchain" -DQUILLOR_SHIPPED_BUILD="$build/win" \
        ${QUILLOR_WIN_CMAKE_ARGS:-} >/dev/null
    cmake --build "$wine_tree"
fi
cmake -S "$root" -B "$build/host" -G Ninja -DQUILLOR_WIN_BUILD="$wine_tree" >/dev/null
cmake --build "$build/host"
"$root/cmake/wine-prefix.sh" "$wine_tree/wine" "$wine_loader"
