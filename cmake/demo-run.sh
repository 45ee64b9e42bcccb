#!/bin/bash
# The demo's runs on a built tree: publish a release, serve it on 127.0.0.1:8080, update an
# installation silently, publish again and update again, then once through the launcher window.
# cmake/demo.sh builds first; cmake/test.sh runs this on the x86_64 copy as well.
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/cmake/script-errors.sh"
build=${QUILLOR_BUILD_DIR:-$root/build}
demo=$build/demo
publish=$build/host/tools/publish/quillor-publish
key=$build/win/devkey/quillor-dev.pem
server_pid=""
xvfb_pid=""

source "$root/cmake/wine-tree.sh"   # build/win, or its x86_64 copy where no 32-bit program runs
wine_run="$wine_tree/wine-run"
updater="$wine_tree/Quillor - Updater.exe"
echo "demo: runs $updater under $wine_loader${wine_copy_reason:+ (the x86_64 copy: $wine_copy_reason)}"

export WINEPREFIX="$wine_tree/wine" WINEDEBUG=-all
stop_all() {
    if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
    wineserver -k 2>/dev/null || true
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
}
trap stop_all EXIT
wineserver -k 2>/dev/null || true   # a server started on another display would fix the screen size
wineserver -p >/dev/null 2>&1 || true

say() { printf '\n=== %s\n' "$*"; }

# A Linux path as Wine sees it (drive Z:), without starting Wine.
windows_path() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }

# publish_release SERIAL: publishes $demo/release as it stands now.
publish_release() {
    "$publish" publish --key "$key" --serial "$1" "$demo/release" "$demo/server"
    sed -n '1p' "$demo/server/manifest.txt"
}

# serve: starts the publisher's development server on the updater's default address.
serve() {
    if curl -s -o /dev/null "http://127.0.0.1:8080/" 2>/dev/null; then
        echo "demo: something already listens on 127.0.0.1:8080; stop it first" >&2
        exit 1
    fi
    "$publish" serve --bind 127.0.0.1 --port 8080 "$demo/server" > "$demo/server.log" 2>&1 &
    server_pid=$!
    for _ in $(seq 100); do
        curl -sf -o /dev/null "http://127.0.0.1:8080/manifest.txt" && return 0
        kill -0 "$server_pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "demo: the server did not come up on 127.0.0.1:8080" >&2
    exit 1
}

# run_updater: one silent run into the demo install directory with the built-in default URL.
run_updater() {
    local before=0 code=0
    [ -f "$demo/install/updater.log" ] && before=$(wc -l < "$demo/install/updater.log")
    timeout 120 "$wine_run" "$updater" /silent /dir "$(windows_path "$demo/install")" || code=$?
    echo "log:"
    tail -n +"$((before + 1))" "$demo/install/updater.log" | sed 's/^/    /'
    echo "exit code: $code"
    [ "$code" = 0 ] || { echo "demo: the update failed" >&2; exit 1; }
}

# check_install: every released file is installed byte for byte.
check_install() {
    (cd "$demo/release" && find . -type f -print0) | while IFS= read -r -d '' f; do
        cmp -s "$demo/release/$f" "$demo/install/$f" || { echo "demo: $f differs" >&2; exit 1; }
    done
    echo "installed files match the release; updater.state: $(tr -d '\r\n' < "$demo/install/updater.state")"
}

rm -rf "$demo"
mkdir -p "$demo/release/data/maps" "$demo/release/data/textures" "$demo/install"

cert="$wine_tree/codesign/throwaway-cert.pem"
if [ -f "$cert" ]; then
    say "The updater exe, signed with the build's throw-away code-signing certificate"
    osslsigncode verify -CAfile "$cert" -in "$updater" |
        awk '/Subject/ && !seen++ || /^Signature verification/'
fi

say "Release 1: a game program, a readme, a subfolder, a name with umlauts and a blank"
cp "$wine_tree/fake_game.exe" "$demo/release/Quillor - Launch.exe"   # records how it was started
printf 'Quillor 1.0\r\n' > "$demo/release/readme.txt"
head -c 300000 /dev/urandom > "$demo/release/data/maps/Erste Karte.pak"
head -c 70000 /dev/urandom > "$demo/release/data/textures/stone.bin"
printf 'Grüße aus Quillor\r\n' > "$demo/release/data/Grüße an alle.txt"
publish_release 1
serve

say "Run 1: fresh installation"
run_updater
check_install
sleep 0.5   # the game was started by the updater; give it a moment to write its record
echo "the game started with working directory: $(head -1 "$demo/install/fake_game_record.txt" 2>/dev/null || echo '(no record)')"

say "Release 2: readme changed, a second map added, the rest kept"
printf 'Quillor 1.1\r\nNeue Karte!\r\n' > "$demo/release/readme.txt"
head -c 200000 /dev/urandom > "$demo/release/data/maps/Zweite Karte.pak"
publish_release 2

say "Run 2: only the changed and the new file are fetched"
run_updater
check_install

say "Run 3: nothing to do"
run_updater

# show_window: the players' way, with the launcher window: on the user's display when there is
# one, otherwise on a private Xvfb screen, saving screenshots while it runs.
show_window() {
    local display=${DISPLAY:-} shots="$demo/screenshots" code=0 i=0
    if [ -z "$display" ]; then
        for n in $(seq 91 130); do
            [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || { display=:$n; break; }
        done
        Xvfb "$display" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
        xvfb_pid=$!
        for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
        mkdir -p "$shots"
    fi
    # Wine keeps the screen size of the display its server first saw.
    wineserver -k 2>/dev/null || true
    export DISPLAY=$display
    wineserver -p >/dev/null 2>&1 || true
    rm -f "$demo/install/fake_game_record.txt"
    "$wine_run" "$updater" /dir "$(windows_path "$demo/install")" &
    local pid=$!
    for _ in $(seq 300); do
        kill -0 "$pid" 2>/dev/null || break
        if [ -n "$xvfb_pid" ] && [ $((i % 3)) = 0 ] && [ "$i" -lt 60 ]; then
            import -display "$display" -window root "$shots/window-$(printf %02d "$i").png" 2>/dev/null || true
        fi
        i=$((i + 1))
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && { echo "demo: the window did not close by itself; stopping it" >&2; kill "$pid"; }
    wait "$pid" || code=$?
    echo "log:"
    grep -a "" "$demo/install/updater.log" | tail -n 6 | sed 's/^/    /'
    echo "exit code: $code"
    [ -n "$xvfb_pid" ] && echo "screenshots of the window: $shots"
    sleep 0.5
    echo "the game started with working directory: $(head -1 "$demo/install/fake_game_record.txt" 2>/dev/null || echo '(no record)')"
}

say "Release 3: a larger texture pack, installed through the launcher window"
head -c 48000000 /dev/urandom > "$demo/release/data/textures/high.pak"
publish_release 3
show_window
check_install

say "Demo done: installation in $demo/install"
