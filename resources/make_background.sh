#!/bin/bash
# Paints the built-in 964x474 background picture (8-bit RGB PNG, not interlaced) with ImageMagick:
# a dusk sky over mountain ridges and a castle, mist, drifting embers and a vignette.
# Reproducible: every random choice comes from fixed seeds, and the PNG carries no time stamps.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=$here/background.png
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
W=964
H=474

# Deterministic pseudo-random numbers (Park-Miller; exact in awk's doubles).
rng='function rnd() { seed = (seed * 16807) % 2147483647; return seed / 2147483647 }'

# A ridge line as a polygon closed along the bottom edge: sums of sines give a natural skyline.
ridge() {  # base amplitude phase seed
    awk -v W=$W -v H=$H -v base="$1" -v amp="$2" -v ph="$3" -v seed="$4" "$rng"'
    BEGIN {
        printf "polygon 0,%d", H
        for (x = 0; x <= W; x += 4) {
            y = base - amp * (0.55 * sin(x / 97.0 + ph) + 0.3 * sin(x / 41.0 + 2 * ph) \
                + 0.15 * sin(x / 17.0 + 3 * ph)) - 6 * rnd()
            printf " %d,%.1f", x, y
        }
        printf " %d,%d\n", W, H
    }'
}

# The castle on the right-hand crag: keep, towers with battlements, a few lit windows.
castle() {
    awk '
    function rect(x, y, w, h) { printf "rectangle %d,%d %d,%d\n", x, y, x + w, y + h }
    function tower(x, y, w, h,   i) {
        rect(x, y, w, h)
        for (i = 0; i + 4 <= w; i += 8) rect(x + i, y - 6, 4, 6)
    }
    BEGIN {
        printf "polygon 610,474 650,400 690,340 730,262 770,232 800,226 840,230 880,246 920,250 964,262 964,474\n"
        tower(758, 150, 34, 90)
        tower(800, 118, 26, 110)
        printf "polygon 796,118 813,78 830,118\n"
        rect(826, 170, 60, 60)
        for (i = 0; i + 4 <= 60; i += 8) rect(826 + i, 164, 4, 6)
        tower(880, 140, 30, 100)
        printf "polygon 876,140 895,104 914,140\n"
        tower(910, 190, 24, 50)
    }'
}

windows() {
    printf 'rectangle 808,140 811,147\nrectangle 815,160 818,167\nrectangle 768,170 771,177\n'
    printf 'rectangle 890,160 893,167\nrectangle 850,190 853,197\n'
}

# Embers rising from the lower part, most of them small and faint, a few big and bright.
embers() {
    awk -v W=$W -v H=$H -v seed=90121 "$rng"'
    BEGIN {
        for (i = 0; i < 160; i++) {
            x = rnd() * W; y = H * (0.35 + 0.65 * rnd()); r = 0.8 + 2.2 * rnd() ^ 3
            a = 0.5 + 0.5 * rnd(); g = int(90 + 100 * rnd())
            printf "fill rgba(255,%d,40,%.2f) circle %.1f,%.1f %.1f,%.1f\n", g, a, x, y, x + r, y
        }
    }'
}

# Sky: deep violet at the top through rust to a glowing horizon.
convert -size ${W}x300 gradient:'#1a0e22'-'#d2642a' -size ${W}x$((H - 300)) xc:'#d2642a' -append \
    "$work/sky.png"
convert -size 1300x560 radial-gradient:'#e07a36'-black "$work/glow.png"
convert "$work/sky.png" "$work/glow.png" -geometry -218-10 -compose screen -composite "$work/sky2.png"

# Clouds: seeded plasma, stretched, tinted dark and laid over the upper sky only.
convert -size 482x237 -seed 4711 plasma:fractal -colorspace gray -blur 0x6 \
    -resize ${W}x${H}! -level 35%,85% "$work/cloudmask.png"
convert -size ${W}x${H} gradient:white-black -level 0%,70% "$work/upper.png"
convert "$work/cloudmask.png" "$work/upper.png" -compose multiply -composite \
    -evaluate multiply 0.8 "$work/cloudalpha.png"
convert -size ${W}x${H} xc:'#3a1a1e' "$work/cloudalpha.png" -alpha off -compose copy_opacity \
    -composite "$work/clouds.png"

# Layers from far to near: far ridge, mist, middle ridge, castle crag, near ground.
convert "$work/sky2.png" "$work/clouds.png" -compose over -composite \
    -fill '#4a2018' -draw "$(ridge 300 55 0.7 11)" \
    -fill '#2e1410' -draw "$(ridge 340 45 2.1 23)" "$work/scene1.png"

convert -size 482x237 -seed 1309 plasma:fractal -colorspace gray -blur 0x4 -resize ${W}x${H}! \
    -level 20%,90% "$work/mistnoise.png"
convert -size ${W}x${H} xc:black -fill white -draw "rectangle 0,300 $W,380" -blur 0x28 \
    "$work/mistband.png"
convert "$work/mistnoise.png" "$work/mistband.png" -compose multiply -composite \
    -evaluate multiply 0.7 "$work/mistalpha.png"
convert -size ${W}x${H} xc:'#d08a5a' "$work/mistalpha.png" -alpha off -compose copy_opacity \
    -composite "$work/mist.png"

convert "$work/scene1.png" "$work/mist.png" -compose over -composite \
    -fill '#1a0b09' -draw "$(ridge 385 30 4.2 37)" \
    -fill '#0d0605' -draw "$(castle)" \
    -fill '#ffb050' -draw "$(windows)" \
    -fill '#090403' -draw "$(ridge 440 14 5.3 51)" "$work/scene2.png"

# Embers with a soft glow: the blurred copy lights the air around each spark.
convert -size ${W}x${H} xc:black -draw "$(embers)" "$work/sparks.png"
convert "$work/sparks.png" -blur 0x4 -evaluate multiply 3 "$work/sparkglow.png"
convert "$work/scene2.png" "$work/sparkglow.png" -compose screen -composite \
    "$work/sparks.png" -compose screen -composite "$work/scene3.png"

# Vignette: darkens the corners and edges towards the frame.
convert -size ${W}x${H} radial-gradient:white-black -level 0%,62% +level 22%,100% \
    "$work/vignette.png"
convert "$work/scene3.png" "$work/vignette.png" -compose multiply -composite \
    -strip -interlace none -depth 8 -type TrueColor \
    -define png:exclude-chunks=date,time,tIME -define png:color-type=2 -define png:bit-depth=8 \
    "PNG24:$out"
echo "wrote $out"
