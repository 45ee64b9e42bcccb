#!/bin/bash
# Creates the project's own Wine prefix (once) with Arial mapped to Liberation Sans.
# Usage: wine-prefix.sh PREFIX_DIR [WINE_LOADER]   (loader default: wine; /usr/lib/wine/wine64 for x86_64)
source "$(dirname "$0")/script-errors.sh"
prefix=$(realpath -m "$1")
wine=${2:-wine}
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/.quillor-ready" ]; then
    mkdir -p "$prefix"
    "$wine" wineboot -i >/dev/null 2>&1 || true
    "$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' \
        /v Arial /d 'Liberation Sans' /f >/dev/null 2>&1
    wineserver -w
    touch "$prefix/.quillor-ready"
fi
