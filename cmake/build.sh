#!/bin/bash
# Configures and builds the trees: build/win (the shipped updater, cross-compiled), the x86_64
# copy where the Windows tests run it (or only its updater, for the demo's runs, with
# QUILLOR_X86_64_COPY=1), and build/host. Extra CMake arguments for the Windows trees come from
# QUILLOR_WIN_CMAKE_ARGS.
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/cmake/script-errors.sh"
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
# The x86_64 copy: every target where the tests run it, else on request what the demo runs.
copy_build=$copy_tree
copy_targets=()
if [ "$wine_tree" = "$copy_tree" ]; then
    echo "build: the Windows tests run on an x86_64 copy in $copy_tree, since $wine_copy_reason"
elif [ "${QUILLOR_X86_64_COPY:-}" = 1 ]; then
    echo "build: the demo's programs also as an x86_64 copy in $copy_tree, to run them under wine64 too"
    copy_targets=(--target quillor_updater fake_game)
else
    copy_build=""
fi
if [ -n "$copy_build" ]; then
    # The same key as the shipped exe, so that fixtures and signed test releases agree.
    mkdir -p "$copy_tree"
    if [ -d "$build/win/devkey" ] && [ ! -L "$copy_tree/devkey" ]; then
        rm -rf "$copy_tree/devkey"
        ln -s ../win/devkey "$copy_tree/devkey"
    fi
    cmake -S "$root" -B "$copy_tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$copy_toolchain" -DQUILLOR_SHIPPED_BUILD="$build/win" \
        ${QUILLOR_WIN_CMAKE_ARGS:-} >/dev/null
    cmake --build "$copy_tree" "${copy_targets[@]}"
fi
cmake -S "$root" -B "$build/host" -G Ninja -DQUILLOR_WIN_BUILD="$wine_tree" >/dev/null
cmake --build "$build/host"
"$root/cmake/wine-prefix.sh" "$wine_tree/wine" "$wine_loader"
if [ -n "$copy_build" ] && [ "$copy_tree" != "$wine_tree" ]; then
    "$root/cmake/wine-prefix.sh" "$copy_tree/wine" "$copy_loader"
fi
