#!/bin/bash
# Download throughput from one loopback nginx: HttpGet and a bare WinINet loop under Wine, and curl.
# Usage: bench/http/run.sh [BUILD_DIR]   (default $QUILLOR_BUILD_DIR or ./build; env SIZE_MIB, ROUNDS)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${1:-${QUILLOR_BUILD_DIR:-$root/build}}")
size_mib=${SIZE_MIB:-512}
rounds=${ROUNDS:-3}
source "$root/cmake/wine-tree.sh"

cmake --build "$wine_tree" --target http_bench >/dev/null

work=$(mktemp -d /tmp/quillor-http-bench.XXXXXX)
nginx_pid=
cleanup() {
    if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/www" "$work/logs" "$work/tmp"
chmod 755 "$work" "$work/www"   # nginx workers drop root and must still read the payload
head -c "${size_mib}M" /dev/urandom > "$work/www/payload.bin"
chmod 644 "$work/www/payload.bin"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$work/nginx.conf" <<CONF
worker_processes 1;
error_log $work/logs/error.log;
pid $work/nginx.pid;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    default_type application/octet-stream;
    client_body_temp_path $work/tmp/body;
    proxy_temp_path $work/tmp/proxy;
    fastcgi_temp_path $work/tmp/fastcgi;
    server { listen 127.0.0.1:$port; root $work/www; }
}
CONF
nginx -p "$work" -c "$work/nginx.conf" -g 'daemon off;' &
nginx_pid=$!
url="http://127.0.0.1:$port/payload.bin"
for _ in $(seq 50); do
    curl -sf -o /dev/null -r 0-0 "$url" && break
    sleep 0.1
done
curl -sf -o /dev/null -r 0-0 "$url" || { echo "nginx did not come up" >&2; cat "$work/logs/error.log" >&2; exit 1; }

echo "payload: $size_mib MiB from $url, $rounds rounds each (MB = 10^6 bytes)"
for _ in $(seq "$rounds"); do
    speed=$(curl -sf -o "$work/curl.out" -w '%{speed_download}' "$url")
    echo "$speed" >> "$work/curl.txt"
    echo "curl     $(awk -v s="$speed" 'BEGIN { printf "%.1f MB/s", s / 1e6 }')"
done
rm -f "$work/curl.out"
curl_best=$(sort -g "$work/curl.txt" | tail -1)
curl_median=$(sort -g "$work/curl.txt" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')

out_win="Z:$(echo "$work/win.out" | tr / '\\')"
"$wine_tree/wine-run" "$wine_tree/http_bench.exe" "$url" "$out_win" "$rounds" | tee "$work/win.txt"
echo
for kind in best median; do
    httpget=$(awk -v k="$kind" '$1 == k && $2 == "HttpGet" { print $3 }' "$work/win.txt")
    bare=$(awk -v k="$kind" '$1 == k && $2 == "bare" { print $3 }' "$work/win.txt")
    rto=$(awk -v k="$kind" '$1 == k && $2 == "bare-rto" { print $3 }' "$work/win.txt")
    curl_speed=$([ "$kind" = best ] && echo "$curl_best" || echo "$curl_median")
    awk -v k="$kind" -v c="$curl_speed" -v h="$httpget" -v b="$bare" -v r="$rto" 'BEGIN {
        c /= 1e6
        printf "%-6s MB/s: curl %.1f, bare WinINet %.1f, bare with request time-out %.1f, HttpGet %.1f\n", k, c, b, r, h
        printf "       HttpGet/bare %.3f, HttpGet/bare-rto %.3f, HttpGet/curl %.3f, bare/curl %.3f\n", h / b, h / r, h / c, b / c
    }'
done
