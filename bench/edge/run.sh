#!/bin/bash
# Load through the edge: N native clients (curl, default 50) fetch a release of 200 files / 256 MiB
# from one Varnish edge (tools/publish/serve/varnish-edge.vcl) in front of the nginx origin
# (tools/publish/serve/nginx-site.conf), all starting right after a publish, as players do after a
# release; then again after a re-release with 20 files changed. Prints the requests and bytes at
# the clients and at the origin, the offload ratio and the throughput. Loopback only, bounded.
# Usage: bench/edge/run.sh [CLIENTS]   (build tree: $QUILLOR_BUILD_DIR or build)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
tool=${QUILLOR_BUILD_DIR:-$root/build}/host/tools/publish/quillor-publish
clients=${1:-50}
files=200
total=$((256 * 1024 * 1024))
[ -x "$tool" ] || { echo "quillor-publish not found at $tool (build the host tree first)" >&2; exit 1; }
[[ "$clients" =~ ^[0-9]+$ ]] && ((clients >= 1 && clients <= 400)) || { echo "CLIENTS: 1 to 400" >&2; exit 2; }

work=$(mktemp -d /tmp/quillor-edge-bench-XXXXXX)
chmod 755 "$work"  # nginx workers run as another user
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done; done
    # varnishd's worker ends with its manager; one left over is stopped by its PID.
    [ -n "${edge_child:-}" ] && kill -0 "$edge_child" 2>/dev/null && kill -9 "$edge_child"
    rm -rf "$work"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

echo "making the release: $files files, $total bytes ..."
mkdir -p "$work/release" "$work/split" "$work/nginx" "$work/varnish"
{ openssl enc -aes-128-ctr -nosalt -pass pass:quillor -pbkdf2 </dev/zero 2>/dev/null || true; } | head -c "$total" |
    split -b $(((total + files - 1) / files)) -a 3 -d - "$work/split/part"
i=0
for part in "$work"/split/part*; do
    mkdir -p "$work/release/data/pack$((i / 20))"
    mv "$part" "$work/release/data/pack$((i / 20))/file$i.bin"
    i=$((i + 1))
done
"$tool" keygen "$work/k" >/dev/null
"$tool" publish --key "$work/k.pem" --serial 1 "$work/release" "$work/server" >/dev/null

origin=$(free_port)
edge=$(free_port)
site=$("$tool" site --bind 127.0.0.1 --port "$origin" --edge 127.0.0.1 "$work/server")
n=$work/nginx
cat >"$n/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $n/nginx.pid;
error_log $n/error.log;
events { worker_connections 1024; }
http {
log_format quillor '\$status \$body_bytes_sent \$request_uri';
access_log $n/access.log quillor;
client_body_temp_path $n/body; proxy_temp_path $n/proxy; fastcgi_temp_path $n/fastcgi;
uwsgi_temp_path $n/uwsgi; scgi_temp_path $n/scgi;
default_type application/octet-stream;
$site
}
EOF
"$tool" site --vcl "127.0.0.1:$origin" >"$work/varnish/edge.vcl"
/usr/sbin/nginx -p "$n" -c "$n/nginx.conf" -e "$n/error.log" &
pids+=($!)
/usr/sbin/varnishd -F -j none -n "$work/varnish" -T none -a "127.0.0.1:$edge" -f "$work/varnish/edge.vcl" \
    -s malloc,800m >"$work/varnish/out.log" 2>&1 &
pids+=($!)
for _ in $(seq 200); do curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$edge/manifest.sig" && break; sleep 0.1; done
edge_child=$(cat "/proc/${pids[1]}/task/${pids[1]}/children" 2>/dev/null | awk '{ print $1 }')

# Every client asks for what the updater asks for: the manifest, its signature, every file.
{
    echo "url = \"http://127.0.0.1:$edge/manifest.txt\""; echo 'output = "/dev/null"'
    echo "url = \"http://127.0.0.1:$edge/manifest.sig\""; echo 'output = "/dev/null"'
    awk -F '\t' -v e="$edge" 'NF == 3 { printf "url = \"http://127.0.0.1:%s/files/%s\"\noutput = \"/dev/null\"\n", e, $3 }' \
        "$work/server/manifest.txt"
} >"$work/urls"

round() {
    local label=$1
    : >"$n/access.log"
    rm -f "$work"/client.*
    local start end
    start=$(date +%s.%N)
    local clientPids=()
    for c in $(seq "$clients"); do
        curl -sS --max-time 600 -K "$work/urls" -w '%{http_code} %{size_download}\n' >"$work/client.$c" 2>>"$work/errors" &
        clientPids+=($!)
    done
    wait "${clientPids[@]}" || true
    end=$(date +%s.%N)
    sleep 0.5  # nginx logs each request just after answering it
    cat "$work"/client.* | awk -v o="$n/access.log" -v s="$start" -v e="$end" -v l="$label" -v c="$clients" '
        { requests++; bytes += $2; if ($1 != 200) bad++ }
        END {
            while ((getline line < o) > 0) {
                split(line, f, " "); originRequests++; originBytes += f[2]
                if (f[1] == 200) full++; else if (f[1] == 304) notModified++
            }
            t = e - s
            printf "%s, %d clients\n", l, c
            printf "  clients: %d requests, %d not 200, %.1f MiB received\n", requests, bad, bytes / 1048576
            printf "  origin:  %d requests (%d full 200, %d 304), %.1f MiB of bodies sent\n", originRequests, full, notModified, originBytes / 1048576
            printf "  edge:    %.1f MiB of bodies sent\n", (bytes - originBytes) / 1048576
            printf "  offload: %.2f %% of the bytes served by the edge\n", 100 * (1 - originBytes / bytes)
            printf "  time:    %.1f s, %.0f MB/s to the clients\n", t, bytes / t / 1e6
        }'
}

round "round 1: release 1 just published, empty edge"
# Re-release: 20 of the 200 files keep their paths and sizes but get new bytes.
for i in $(seq 0 10 190); do
    f=$(ls "$work"/release/data/pack$((i / 20))/file$i.bin)
    head -c "$(stat -c %s "$f")" /dev/urandom >"$f"
done
"$tool" publish --key "$work/k.pem" --serial 2 "$work/release" "$work/server" >/dev/null
round "round 2: release 2 just published, 20 files changed in place"
echo "check through the edge:"
"$tool" verify --key "$work/k.pub.pem" --expect-serial 2 --wait 30 "http://127.0.0.1:$edge" | tail -1
