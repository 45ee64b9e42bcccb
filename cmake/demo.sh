#!/bin/bash
# The demo: build everything, publish a release, serve it on 127.0.0.1:8080, update an
# installation silently, publish a second release and update again, showing logs and exit codes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUILLOR_BUILD_DIR:-$root/build}
demo=$build/demo
publish=$build/host/tools/publish/quillor-publish
key=$build/win/devkey/quillor-dev.pem
server_pid=""

"$root/cmake/setup.sh"
"$root/cmake/build.sh"

export WINEPREFIX="$build/win/wine" WINEDEBUG=-all
stop_all() {
    if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
    wineserver -k 2>/dev/null || true
}
trap stop_all EXIT
wineserver -p

say() { printf '\n=== %s\n' "$*"; }

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
    timeout 120 "$build/win/wine-run" "$build/win/Quillor - Updater.exe" /silent \
        /dir "$(winepath -w "$demo/install" 2>/dev/null)" || code=$?
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

say "Release 1: a game program, a readme, a subfolder, a name with umlauts and a blank"
cp "$build/win/fake_game.exe" "$demo/release/Quillor - Launch.exe"   # records how it was started
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

say "Demo done: installation in $demo/install"
