#!/bin/bash
# Runs README.md's quick start command by command as written, on loopback, with only the host,
# the port and the folders replaced, and nginx an instance of the test's own (started and
# stopped by PID). Usage: quickstart_test.sh SOURCE_DIR PUBLISHER_DIR (the built quillor-publish's folder).
#
# What is replaced, in this order:
#   a line holding "cmake/build.sh"   skipped: building the exe takes minutes and the Windows
#                                     toolchain; test.sh builds it and the e2e tests run it
#   ~/ and $HOME/                     WORK/home/ (holding quillor-game, a small game folder)
#   /srv/quillor                      WORK/srv/quillor
#   /etc/nginx                        WORK/etc/nginx (its nginx.conf includes sites-enabled/*)
#   --port 8080                       --bind 127.0.0.1 --port PORT (loopback only, a free port)
#   8080, updates.example.com         PORT, 127.0.0.1
#   nginx at the start of a command   nginx -c WORK/etc/nginx/nginx.conf -e WORK/nginx/error.log
set -euo pipefail
source_dir=$1
PATH=$(cd "$2" && pwd):$PATH
start=$(date +%s)

work=$(mktemp -d /tmp/quillor-quickstart-test-XXXXXX)
chmod 755 "$work"  # the nginx workers may run as another user
nginx_pid=
cleanup() {
    local status=$?
    if [ -n "$nginx_pid" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        for _ in $(seq 100); do kill -0 "$nginx_pid" 2>/dev/null || break; sleep 0.1; done
        kill -9 "$nginx_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
    echo "quickstart test: $(( $(date +%s) - start )) s, $([ $status = 0 ] && echo PASSED || echo FAILED)"
    exit $status
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP  # through cleanup as well
fail() { echo "quickstart test: $*" >&2; exit 1; }

# The block between the markers, continuation lines joined, without comments and blank lines.
block=$(sed -n '/^<!-- quickstart:/,/^<!-- \/quickstart -->/p' "$source_dir/README.md" |
    sed -e '1,/^```sh$/d' -e '/^```$/,$d' | sed -e ':a' -e '/\\$/{N;s/\\\n *//;ba' -e '}' |
    grep -v -e '^#' -e '^ *$' || true)
[ "$(grep -c . <<<"$block")" -ge 8 ] || fail "README.md has no quick-start block between its markers"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
substitute() {
    sed -e "s|~/|$work/home/|g" -e "s|\$HOME/|$work/home/|g" -e "s|/srv/quillor|$work/srv/quillor|g" \
        -e "s|/etc/nginx|$work/etc/nginx|g" -e "s|--port 8080|--bind 127.0.0.1 --port $port|g" \
        -e "s|8080|$port|g" -e "s|updates\.example\.com|127.0.0.1|g" \
        -e "s#\(^\|&& \)nginx #\1/usr/sbin/nginx -c $work/etc/nginx/nginx.conf -e $work/nginx/error.log #g"
}

# The machine as the quick start expects it: a game folder, and nginx running with sites-enabled/.
mkdir -p "$work/home/quillor-game/data" "$work/etc/nginx/sites-enabled" "$work/nginx"
echo "first map" >"$work/home/quillor-game/data/map.pak"
echo "Quillor" >"$work/home/quillor-game/Quillor - Launch.exe"
touch -d "1 hour ago" "$work/home/quillor-game/data/map.pak" "$work/home/quillor-game/Quillor - Launch.exe"
cat >"$work/etc/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
access_log $work/nginx/access.log;
client_body_temp_path $work/nginx/body;
proxy_temp_path $work/nginx/proxy;
fastcgi_temp_path $work/nginx/fastcgi;
uwsgi_temp_path $work/nginx/uwsgi;
scgi_temp_path $work/nginx/scgi;
include $work/etc/nginx/sites-enabled/*;
}
CONF
/usr/sbin/nginx -c "$work/etc/nginx/nginx.conf" -e "$work/nginx/error.log" </dev/null >"$work/nginx/out.log" 2>&1 &
nginx_pid=$!
for _ in $(seq 100); do [ -s "$work/nginx/nginx.pid" ] && break; sleep 0.1; done
[ "$(cat "$work/nginx/nginx.pid" 2>/dev/null)" = "$nginx_pid" ] || fail "nginx did not start: $(cat "$work/nginx/error.log")"

cd "$work"
ran=0
while IFS= read -r line; do
    if [[ $line == *cmake/build.sh* ]]; then echo "skipped: $line"; continue; fi
    command=$(substitute <<<"$line")
    echo "\$ $command"
    timeout 120 bash -c "set -o pipefail; $command" </dev/null || fail "failed: $line"
    ran=$((ran + 1))
done <<<"$block"
echo "quickstart test: $ran commands ran as written"
