#!/bin/bash
# Screenshots of the real launcher window under Xvfb, in its states, into docs/screenshots/.
# Needs a built tree (cmake/build.sh): the updater, its dev key and the host publisher tool.
# Usage: cmake/screenshots.sh   (QUILLOR_BUILD_DIR as for build.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUILLOR_BUILD_DIR:-$root/build}
source "$root/cmake/wine-tree.sh"   # build/win, or its x86_64 copy where no 32-bit program runs
exe="$wine_tree/Quillor - Updater.exe"
publish="$build/host/tools/publish/quillor-publish"
key="$build/win/devkey/quillor-dev.pem"
out="$root/docs/screenshots"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
for f in "$exe" "$publish" "$key"; do [ -e "$f" ] || { echo "missing: $f (run cmake/build.sh)" >&2; exit 2; }; done

work=$(mktemp -d /tmp/quillor-shots.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    [ -d "$work/wine" ] && WINEPREFIX="$work/wine" wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# A display of our own: the first free number from 91 up.
display=91
while [ -e /tmp/.X$display-lock ] || [ -e /tmp/.X11-unix/X$display ]; do display=$((display + 1)); done
Xvfb :$display -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=:$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

# A Wine prefix of our own, started on this display: Wine takes the screen size from the display
# its desktop was first created on, so a prefix already in use elsewhere would report 1024 x 768.
"$root/cmake/wine-prefix.sh" "$work/wine" "$wine_loader"
export WINEPREFIX="$work/wine"

# Waits up to $2 seconds (default 30) for a line $1 in the server's event file.
wait_event() {
    for _ in $(seq $((${2:-30} * 10))); do grep -qx "$1" "$work/events" 2>/dev/null && return 0; sleep 0.1; done
    echo "timed out waiting for: $1" >&2; return 1
}

# A release: one file to download (stalled at 40 %) and one large file that is already installed
# and only checked, so that "Prüfe Dateien ..." stays up for a few seconds.
mkdir -p "$work/release/data" "$work/install/data"
head -c $((8 << 20)) /dev/urandom > "$work/release/data/textures_high.pak"
truncate -s 1G "$work/release/data/world.pak"
cp --sparse=always "$work/release/data/world.pak" "$work/install/data/world.pak"
"$publish" publish --key "$key" --serial 4711 "$work/release" "$work/server" >/dev/null

start_server() {  # extra stall_server.py arguments
    rm -f "$work/port" "$work/events"
    python3 "$root/cmake/stall_server.py" "$work/server" "$work/port" --events "$work/events" --hold 90 "$@" &
    pids+=($!)
    for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
    port=$(cat "$work/port")
}

# Starts the updater with /dir $1 and /url $2 and waits for its window; sets updater, win_x,
# win_y, win_w (window position and width on the screen).
start_updater() {
    local dir=$1
    "$wine_loader" "$exe" /dir "Z:${dir//\//\\}" /url "$2" /nolaunch >/dev/null 2>&1 &
    updater=$!
    pids+=($updater)
    window=""
    for _ in $(seq 300); do
        window=$(xdotool search --name "^Quillor - Updater$" 2>/dev/null | head -1) && [ -n "$window" ] && break
        sleep 0.1
    done
    [ -n "$window" ] || { echo "no window" >&2; return 1; }
    eval "$(xdotool getwindowgeometry --shell "$window")"
    win_x=$X win_y=$Y win_w=$WIDTH
}

shot() {  # $1 name, $2 seconds to wait first
    sleep "${2:-0.5}"
    import -window "$window" "$out/$1.png"
    echo "saved docs/screenshots/$1.png"
}

# Moves the pointer to the centre of a design rectangle (x, y, width, height) of the window.
hover() {
    local px py
    px=$(awk -v wx="$win_x" -v w="$win_w" -v x="$1" -v bw="$3" 'BEGIN { printf "%d", wx + (x + bw / 2) * w / 964 }')
    py=$(awk -v wy="$win_y" -v w="$win_w" -v y="$2" -v bh="$4" 'BEGIN { printf "%d", wy + (y + bh / 2) * w / 964 }')
    xdotool mousemove --sync "$px" "$py"
}

close_updater() {
    xdotool mousemove --sync 0 0 || true
    xdotool windowfocus --sync "$window" key Escape 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$updater" 2>/dev/null || return 0; sleep 0.1; done
    kill "$updater" 2>/dev/null || true
}

run_states() {  # $1: install dir, $2: name suffix, $3: "all" for every state or "" for a few
    start_server --delay /manifest.txt 4 --stall /files/data/textures_high.pak $(((8 << 20) * 40 / 100))
    start_updater "$1" "http://127.0.0.1:$port"
    if [ "$3" = all ]; then shot "connecting$2" 1.5; fi
    wait_event "served /manifest.sig"
    if [ "$3" = all ]; then shot "checking$2" 1.0; fi
    wait_event "stalled /files/data/textures_high.pak" 120
    shot "downloading$2" 3
    if [ "$3" = all ]; then hover 804 19 108 24; shot "downloading-hover-quit$2"; fi
    close_updater

    # A base URL the server does not know: the run fails with a message naming it.
    start_updater "$1" "http://127.0.0.1:$port/quillor/live/eu-west/client/releases/stable/channel-main"
    shot "failed$2" 3
    if [ "$3" = all ]; then
        hover 302 202 168 30; shot "failed-hover-launch$2"
        hover 494 202 168 30; shot "failed-hover-close$2"
    fi
    close_updater
}

mkdir -p "$out"
run_states "$work/install" "" all
# A 1920 x 1080 picture beside the program: the window becomes 1728 x 972 on this screen.
convert "$root/resources/background.png" -resize '1920x1080!' "$work/install/updater_bg.png"
run_states "$work/install" "-large" ""
