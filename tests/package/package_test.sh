#!/bin/bash
# The Debian package as a studio gets it: built by cpack, checked by lintian, installed with dpkg,
# used from PATH (keygen, publish, verify, stage, site, man page, completion), purged without a trace.
# Usage: package_test.sh HOST_BUILD_DIR. Needs root; exit 77 (skipped) without it or when the
# package is installed already. The system is restored however the test ends.
set -euo pipefail
build=$1
start=$(date +%s)
if [ "$(id -u)" != 0 ]; then echo "package test: needs root (dpkg -i); skipped"; exit 77; fi
if dpkg-query -W -f='${Status}' quillor-publish 2>/dev/null | grep -q "ok installed" ||
    [ -e /usr/bin/quillor-publish ]; then
    echo "package test: quillor-publish is installed on this machine already; skipped so as to leave it"
    exit 77
fi

work=$(mktemp -d /tmp/quillor-package-test-XXXXXX)
chmod 755 "$work"  # nginx -t and varnishd read below it
installed=0
cleanup() {
    local status=$?
    if [ "$installed" = 1 ]; then dpkg_locked --purge quillor-publish >/dev/null || status=1; fi
    rm -rf "$work"
    echo "package test: $(( $(date +%s) - start )) s, $([ $status = 0 ] && echo PASSED || echo FAILED)"
    exit $status
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP  # through cleanup as well
fail() { echo "package test: $*" >&2; exit 1; }

# dpkg with its lock waited for (bounded): other package tools may run on the machine.
dpkg_locked() {
    local out
    for _ in $(seq 60); do
        if out=$(dpkg "$@" </dev/null 2>&1); then echo "$out"; return 0; fi
        grep -q "lock" <<<"$out" || { echo "$out" >&2; return 1; }
        sleep 5
    done
    echo "$out" >&2
    return 1
}

# 1. Build and check the package.
(cd "$build" && cpack -B "$work/deb" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$(echo "$work"/deb/quillor-publish_*_"$(dpkg --print-architecture)".deb)
[ -f "$deb" ] || fail "no quillor-publish_VERSION_ARCH.deb in $work/deb"
echo "package test: $(basename "$deb"), $(stat -c %s "$deb") bytes"
dpkg -c "$deb"
lintian_status=0
lintian --fail-on error --display-info "$deb" >"$work/lintian.log" 2>&1 || lintian_status=$?
grep -v "running with root privileges" "$work/lintian.log" || true
[ "$lintian_status" = 0 ] || fail "lintian reports errors (exit $lintian_status)"
echo "package test: cpack and lintian $(( $(date +%s) - start )) s"

# 2. Install it; from here on the trap purges it.
installed=1
dpkg_locked -i "$deb" >/dev/null || fail "dpkg -i failed"
dpkg -L quillor-publish >"$work/listed"
echo "package test: installed at $(( $(date +%s) - start )) s"
[ "$(command -v quillor-publish)" = /usr/bin/quillor-publish ] || fail "quillor-publish is not /usr/bin's from PATH"
! file -b /usr/bin/quillor-publish | grep -q "not stripped" || fail "the packaged binary is not stripped"

# 3. Use it as a studio would, from PATH, in a folder of its own.
cd "$work"
mkdir -p release/data
echo "first map" >release/data/map.pak
touch -d "1 hour ago" release/data/map.pak
run() { "$@" >"$work/out" 2>&1 </dev/null || { cat "$work/out"; fail "failed: $*"; }; }
run quillor-publish keygen studio
run quillor-publish publish --key studio.pem --serial 1 release server
run quillor-publish verify --key studio.pub.pem --expect-serial 1 server
echo "staged map" >release/data/map.pak
run quillor-publish stage --key studio.pem --serial 2 --share 10 release server
run quillor-publish status server
grep -q "2" "$work/out" || fail "status names no staged serial 2: $(cat "$work/out")"
run quillor-publish verify --key studio.pub.pem --expect-serial 2 server.stage

# The built-in templates: the printed site and VCL are what nginx and varnishd accept.
mkdir -p nginx
quillor-publish site --bind 127.0.0.1 --port 8080 --edge 127.0.0.1 "$work/server" >nginx/site.conf
cat >nginx/nginx.conf <<CONF
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 64; }
http {
access_log off;
client_body_temp_path $work/nginx/body;
include $work/nginx/site.conf;
}
CONF
/usr/sbin/nginx -t -p "$work/nginx" -c "$work/nginx/nginx.conf" -e "$work/nginx/error.log" </dev/null >/dev/null 2>&1 ||
    fail "nginx -t refuses the printed site: $(/usr/sbin/nginx -t -p "$work/nginx" -c "$work/nginx/nginx.conf" 2>&1)"
quillor-publish site --vcl 127.0.0.1:8080 "$work/server" >edge.vcl
/usr/sbin/varnishd -C -j none -n "$work/varnish" -f "$work/edge.vcl" </dev/null >/dev/null 2>&1 ||
    fail "varnishd -C refuses the printed VCL"

# --version is 0 wherever the usage lists it.
set +e
quillor-publish --version >/dev/null 2>&1 </dev/null
version=$?
set -e
if quillor-publish --help 2>/dev/null | grep -q -- "--version"; then
    [ "$version" = 0 ] || fail "quillor-publish --version exits $version"
else
    [ "$version" = 0 ] || [ "$version" = 2 ] || fail "quillor-publish --version exits $version"
fi
[ "$(man -w quillor-publish)" = /usr/share/man/man1/quillor-publish.1.gz ] || fail "man -w quillor-publish: $(man -w quillor-publish 2>&1)"
MANWIDTH=80 man --warnings quillor-publish 2>&1 >/dev/null </dev/null | grep . && fail "man warns about the page"

# 4. The completion, through bash-completion as an interactive shell loads it: each line is
#    "WORDS|EXPECTED", the last word the one being completed.
touch studio.txt
mkdir -p rel2
# Besides the table, one row per command of the installed tool: the completion offers exactly its options.
quillor-publish help --json | python3 -c '
import json, subprocess, sys
for name in json.loads(sys.stdin.read())["commands"]:
    if name == "help":
        continue
    usage = json.loads(subprocess.run(["quillor-publish", "help", name, "--json"], capture_output=True).stdout)
    words = sorted(set(usage.get("options", []) + usage.get("switches", [])) | {"--help", "--json"})
    print("quillor-publish %s --|%s " % (name, " ".join(words)))
' >completion-rows || fail "the command table from help --json"
bash --norc --noprofile -c '
    source /usr/share/bash-completion/bash_completion
    source /usr/share/bash-completion/completions/quillor-publish
    status=0
    check() {
    while IFS="|" read -r line expected; do
        read -r -a COMP_WORDS <<<"$line"
        [[ $line == *" " ]] && COMP_WORDS+=("")
        COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$line COMP_POINT=${#line} COMPREPLY=()
        _quillor_publish
        got=""
        ((${#COMPREPLY[@]})) && got=$(printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | tr "\n" " ")
        [ "$got" = "$expected" ] || { echo "completion of \"$line\": \"$got\", expected \"$expected\""; status=1; }
    done
    }
    check <completion-rows
    check <<TABLE
quillor-publish pro|promote 
quillor-publish s|serve site stage status 
quillor-publish site --|--access-log --bind --edge --help --json --port --vcl 
quillor-publish widen --|--allow-few-runs --health --help --json --max-failed --min-runs --share 
quillor-publish publish --key st|studio.pem studio.pub.pem 
quillor-publish publish --serial |
quillor-publish publish --force re|rel2 release 
quillor-publish keygen stu|studio.pem studio.pub.pem studio.txt 
quillor-publish help wi|widen 
quillor-publish bogus |
TABLE
    exit $status' </dev/null || fail "bash completion"

# 5. Purge: nothing the package listed may be left, other than folders other packages own.
echo "package test: used at $(( $(date +%s) - start )) s"
cd /
dpkg_locked --purge quillor-publish >/dev/null || fail "dpkg --purge failed"
installed=0
left=$(while read -r path; do
    if [ -e "$path" ] || [ -L "$path" ]; then dpkg -S "$path" >/dev/null 2>&1 || echo "$path"; fi
done <"$work/listed")
[ -z "$left" ] || fail "left after purge: $left"
echo "package test: $(wc -l <"$work/listed") paths installed, none left after purge"
