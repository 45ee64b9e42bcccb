#!/bin/bash
# Draws the program icon (one 64x64 32-bit image) into resources/quillor.ico with ImageMagick.
set -euo pipefail
out=$(dirname "$0")/quillor.ico
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
convert -size 64x64 xc:none \
    -fill '#1a0f0a' -stroke '#dcae52' -strokewidth 3 -draw "roundrectangle 3,3 60,60 12,12" \
    -stroke none -fill '#f0c86e' -draw "polygon 32,10 40,30 54,32 40,36 32,54 24,36 10,32 24,30" \
    -fill '#a0220c' -draw "circle 32,32 32,27" \
    -define png:color-type=6 "PNG32:$tmp/icon.png"
convert "$tmp/icon.png" -define icon:auto-resize=64 "$out"
echo "wrote $out"
