#!/bin/bash
# Paints the built-in 964x474 background picture (RGB PNG, not interlaced) with ImageMagick.
set -euo pipefail
out=$(dirname "$0")/background.png
convert -size 964x474 radial-gradient:'#6a3414'-'#0e0907' \
    -strip -interlace none -define png:exclude-chunks=date,time,tIME -define png:color-type=2 \
    "PNG24:$out"
echo "wrote $out"
