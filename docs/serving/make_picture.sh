#!/bin/bash
# Draws docs/serving/edges.png (publisher, origin, edges, players, mirror) and stages.png (staged
# releases: trees, bucket links, the cohort decision, the edge) with ImageMagick; same output every time.
set -euo pipefail
dir=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT

box() {  # x y w h fill title line1 line2
    local x=$1 y=$2 w=$3 h=$4
    echo "fill '$5' stroke '#3a3a3a' stroke-width 2 roundrectangle $x,$y $((x + w)),$((y + h)) 10,10"
    echo "stroke none fill '#1a1a1a' font 'Liberation-Sans-Bold' font-size 17 text $((x + 12)),$((y + 26)) '$6'"
    echo "font 'Liberation-Sans' font-size 14 text $((x + 12)),$((y + 48)) '$7'"
    echo "text $((x + 12)),$((y + 68)) '$8'"
}
arrow() {  # x1 y1 x2 y2 colour label; the head points right, at x2,y2
    echo "stroke '$5' stroke-width 3 line $1,$2 $(($3 - 12)),$4"
    echo "stroke none fill '$5' polygon $3,$4 $(($3 - 14)),$(($4 - 7)) $(($3 - 14)),$(($4 + 7))"
    echo "fill '#333333' font 'Liberation-Sans' font-size 13 text $(( ($1 + $3) / 2 - 30 )),$(( ($2 + $4) / 2 - 8 )) '$6'"
}
down() {  # x y1 y2 colour label; the head points down, at x,y2
    echo "stroke '$4' stroke-width 3 line $1,$2 $1,$(($3 - 12))"
    echo "stroke none fill '$4' polygon $1,$3 $(($1 - 7)),$(($3 - 14)) $(($1 + 7)),$(($3 - 14))"
    echo "fill '#333333' font 'Liberation-Sans' font-size 13 text $(($1 + 8)),$(( ($2 + $3) / 2 + 4 )) '$5'"
}
picture() {  # width height name; the drawing comes on standard input
    cat >"$tmp/$3.mvg"
    convert -size "$1x$2" xc:white -draw "$(cat "$tmp/$3.mvg")" -define png:exclude-chunks=date,time "PNG24:$dir/$3.png"
    echo "wrote $dir/$3.png"
}
{
    echo "fill '#1a1a1a' font 'Liberation-Sans-Bold' font-size 20 text 20,40 'Serving many players'"
    echo "font 'Liberation-Sans' font-size 14 text 20,66 'Nothing is answered without asking the origin;'"
    echo "text 20,86 'an unchanged body costs the origin a 304.'"
    box 20 150 230 80 '#e8eef7' 'quillor-publish publish' 'builds the new tree beside the old,' 'swaps it in as a whole'
    box 320 150 250 80 '#dff0df' 'nginx origin' 'no-cache on all three paths,' 'ETag + Last-Modified; 404 else'
    box 660 40 240 80 '#fdf0d5' 'edge (Varnish or a CDN)' 'keeps 200 bodies, asks the origin' 'every time; 304: sends its body'
    box 660 250 240 80 '#fdf0d5' 'edge (Varnish or a CDN)' 'never keeps 404, redirects, errors;' 'GET/HEAD of the three paths only'
    box 660 370 240 60 '#f0f0f0' 'mirror (optional)' 'same files/ tree, reached by 302' ''
    box 940 40 110 60 '#ffffff' 'players' 'the updater' ''
    box 940 260 110 60 '#ffffff' 'players' 'the updater' ''
    arrow 250 190 320 190 '#5a7bb5' 'swap'
    arrow 570 165 660 80 '#3d8b3d' 'full body once'
    arrow 570 200 660 290 '#3d8b3d' 'then 304s'
    arrow 570 220 660 400 '#999999' '302 for files/'
    arrow 900 70 940 70 '#c08a1e' ''
    arrow 900 290 940 290 '#c08a1e' ''
} | picture 1070 450 edges
{
    echo "fill '#1a1a1a' font 'Liberation-Sans-Bold' font-size 20 text 20,40 'Staged releases'"
    echo "font 'Liberation-Sans' font-size 14 text 20,66 'The origin picks the tree from the player address; the edge asks it, then keeps the tree in its cache key.'"
    echo "text 20,86 'A share of P % is the first P buckets of the salted order, so widening only adds buckets.'"
    box 20 140 200 80 '#e8eef7' 'quillor-publish' 'stage, widen, promote:' 'renames bucket links'
    box 270 140 240 80 '#f0f0f0' 'SERVER_DIR.cohorts' '00 to 99: one link per bucket,' 'read on every request'
    box 240 300 160 80 '#dff0df' 'SERVER_DIR' 'live, serial N' 'the other buckets'
    box 420 300 180 80 '#fde2e2' 'SERVER_DIR.stage' 'serial N+1' 'the first P buckets'
    box 570 140 230 80 '#dff0df' 'nginx origin' 'bucket: MurmurHash2(address)' '/.quillor-tree: live or stage'
    box 870 140 230 80 '#fdf0d5' 'edge (Varnish or a CDN)' '1: asks the tree (address)' '2: key = tree + path'
    box 870 300 230 80 '#ffffff' 'players' 'in the cohort: serial N+1' 'all others: serial N'
    arrow 220 180 270 180 '#5a7bb5' 'links'
    arrow 510 180 570 180 '#3d8b3d' 'root'
    arrow 800 180 870 180 '#3d8b3d' 'tree, body'
    down 320 220 300 '#999999' ''
    down 490 220 300 '#c0504d' ''
    down 985 220 300 '#c08a1e' ''
    echo "fill '#333333' font 'Liberation-Sans' font-size 14 text 20,430 'promote: the live tree becomes the staged release, then every bucket moves to it; a live serial above the stage closes it the same way.'"
} | picture 1120 450 stages
