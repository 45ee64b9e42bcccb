#!/bin/bash
# The scripts of the two commands in both branches of the machine choice, as a machine takes them
# by itself (the 32-bit probe answering yes, and no), with every program they start replaced by a
# stub that records its arguments: a few seconds, no build, and it catches a script that ends
# early or runs the wrong tree. Also a planted failure, which must be named where it happened.
# Usage: scripts_test.sh SOURCE_DIR
set -uo pipefail
root=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
work=$(mktemp -d /tmp/quillor-scripts.XXXXXX)
cleanup() {
    # A stub server that outlived its demo (one stopped by the time-out) is stopped by its PID.
    for f in "$work"/*/state/serve.pid; do [ -f "$f" ] && kill "$(cat "$f")" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
passed=0
failed=0

# --- Stubs: each records "name args" in $STUB_CALLS; STUB_FAIL makes a cmake call that contains it fail.
bin=$work/bin
mkdir -p "$bin"
stub() {  # stub NAME BODY
    printf '#!/bin/bash\necho "%s $*" >>"$STUB_CALLS"\n%s\n' "$1" "$2" >"$bin/$1"
    chmod +x "$bin/$1"
}
stub cmake '[ -n "${STUB_FAIL:-}" ] && [[ "$*" == *"$STUB_FAIL"* ]] && exit 1; exit 0'
stub ctest 'exit 0'
stub dpkg-query '[ -n "${STUB_MISSING:-}" ] && [[ "$*" == *Status* ]] && exit 1; printf "install ok installed"'
stub dpkg 'exit 0'
stub apt-get '[ -n "${STUB_MISSING:-}" ] && exit 100; exit 0'
stub wine 'exit 0'
stub wineserver 'exit 0'
stub Xvfb 'exit 1'
stub import 'exit 0'
stub osslsigncode 'exit 0'
# The development server answers once "serve" has started (and before that, nothing listens).
stub curl '[ -e "$STUB_STATE/serving" ]'

# A stand-in for a build tree: the programs the scripts start from it.
fake_tree() {  # fake_tree DIR NAME
    local dir=$1 name=$2
    mkdir -p "$dir/wine" "$dir/devkey"
    touch "$dir/wine/.quillor-ready" "$dir/Quillor - Updater.exe" "$dir/fake_game.exe" "$dir/devkey/quillor-dev.pem"
    # The updater: installs the served release into /dir and records it, as a successful run does.
    cat >"$dir/wine-run" <<EOF
#!/bin/bash
echo "wine-run[$name] \$*" >>"\$STUB_CALLS"
[[ "\${1:-}" == *Updater.exe ]] || exit 0
dir=""; prev=""
for a in "\$@"; do [ "\$prev" = /dir ] && dir=\$a; prev=\$a; done
install=\$(printf '%s' "\${dir#Z:}" | tr '\\\\' /)
demo=\$(dirname "\$install")
cp -a "\$demo/release/." "\$install/"
serial=\$(sed -n '1s/serial //p' "\$demo/server/manifest.txt")
printf '%s\r\n' "\$serial" >"\$install/updater.state"
printf '01.01.2026 00:00:00  update finished\r\n' >>"\$install/updater.log"
EOF
    chmod +x "$dir/wine-run"
}
fake_build() {  # fake_build DIR: both Windows trees and the publisher
    fake_tree "$1/win" win
    fake_tree "$1/win64" win64
    mkdir -p "$1/host/tools/publish"
    cat >"$1/host/tools/publish/quillor-publish" <<'EOF'
#!/bin/bash
echo "quillor-publish $*" >>"$STUB_CALLS"
case $1 in
publish) mkdir -p "${@: -1}"; echo "serial $5" >"${@: -1}/manifest.txt" ;;
serve) trap 'rm -f "$STUB_STATE/serving"; exit 0' TERM
       echo $$ >"$STUB_STATE/serve.pid"
       touch "$STUB_STATE/serving"
       for _ in $(seq 1200); do sleep 0.1; done ;;
esac
EOF
    chmod +x "$1/host/tools/publish/quillor-publish"
}

# run NAME "SCRIPT [ARG...]" [ENV...]: runs a script (relative to cmake/) on a fresh fake build;
# sets out, err, calls (with the build folder written BUILD), build and rc.
run() {
    local name=$1 script
    read -r -a script <<<"$2"
    shift 2
    local dir=$work/$name
    mkdir -p "$dir/state"
    fake_build "$dir/build"
    fake_tree "$dir/build-customkey/win" win
    fake_tree "$dir/build-customkey/win64" win64
    : >"$dir/calls"
    env PATH="$bin:$PATH" STUB_CALLS="$dir/calls" STUB_STATE="$dir/state" QUILLOR_BUILD_DIR="$dir/build" \
        DISPLAY=:stub "$@" timeout 120 bash "$root/cmake/${script[0]}" "${script[@]:1}" >"$dir/out" 2>"$dir/err"
    rc=$?
    out=$(cat "$dir/out")
    err=$(cat "$dir/err")
    calls=$(sed "s|$dir/build|BUILD|g; s|$root|ROOT|g" "$dir/calls")
    build=$dir/build
}

expect() {  # expect DESCRIPTION CONDITION...: the condition is a command
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $what"
        echo "  exit status: $rc"
        echo "  stdout:"; sed 's/^/    /' <<<"$out" | tail -n 15
        echo "  stderr:"; sed 's/^/    /' <<<"$err" | tail -n 15
        echo "  calls:";  sed 's/^/    /' <<<"$calls" | tail -n 30
    fi
}
has() { grep -qF -- "$2" <<<"$1"; }
line() { grep -qxF -- "$2" <<<"$1"; }
lacks() { ! grep -qF -- "$2" <<<"$1"; }
count() { grep -cF -- "$2" <<<"$1"; }

# --- Both branches, as detected. probe: the command that answers whether 32-bit programs run.
#   branch  probe  tests' tree  toolchain of the tests' tree
branches=(
    "yes    true   win          mingw-i686.cmake"
    "no     false  win64        mingw-x86_64.cmake"
)
for row in "${branches[@]}"; do
    read -r branch probe tree toolchain <<<"$row"
    other=$([ "$tree" = win ] && echo win64 || echo win)

    run "build-$branch" build.sh QUILLOR_32BIT_PROBE="$probe"
    expect "$branch: build.sh succeeds" test "$rc" = 0
    expect "$branch: build.sh builds the shipped i686 tree" line "$calls" "cmake --build BUILD/win"
    expect "$branch: the host tree runs the Windows tests of $tree" has "$calls" "-DQUILLOR_WIN_BUILD=BUILD/$tree"
    if [ "$branch" = no ]; then
        expect "no: the copy is built whole with its toolchain" line "$calls" "cmake --build BUILD/win64"
        expect "no: the copy's toolchain" has "$calls" "ROOT/cmake/$toolchain"
        expect "no: build.sh says why" has "$out" "since this kernel runs no 32-bit programs"
    else
        expect "yes: no copy without being asked" lacks "$calls" "BUILD/win64"
    fi

    run "test-$branch" test.sh QUILLOR_32BIT_PROBE="$probe"
    expect "$branch: test.sh succeeds" test "$rc" = 0
    expect "$branch: the Windows tests run in $tree" has "$calls" "ctest --test-dir BUILD/$tree "
    expect "$branch: no Windows tests in $other" lacks "$calls" "ctest --test-dir BUILD/$other "
    expect "$branch: the host tests run" has "$calls" "ctest --test-dir BUILD/host "
    if [ "$branch" = yes ]; then
        expect "yes: the copy's demo programs are built" has "$calls" "cmake --build BUILD/win64 --target quillor_updater fake_game"
        expect "yes: the demo's three silent runs on the copy" test "$(count "$calls" "wine-run[win64] BUILD/win64/Quillor - Updater.exe /silent")" = 3
        expect "yes: the demo's window run on the copy" has "$calls" "wine-run[win64] BUILD/win64/Quillor - Updater.exe /dir"
        expect "yes: the summary names the i686 exe" has "$out" "test.sh: the Windows tests ran the shipped i686 exe ($build/win) under 32-bit Wine"
        expect "yes: the summary names the copy's demo" has "$out" "ran the x86_64 copy ($build/win64) under wine64: PASSED"
    else
        expect "no: the demo does not run twice" lacks "$calls" "wine-run[win]"
        expect "no: the summary warns that the i686 exe was checked statically only" \
            has "$out" "THE SHIPPED i686 EXE WAS CHECKED STATICALLY ONLY"
        expect "no: the summary gives the reason" has "$out" "# this kernel runs no 32-bit programs"
    fi
    expect "$branch: the summary says PASSED" has "$out" "s, PASSED"

    run "demo-$branch" demo.sh QUILLOR_32BIT_PROBE="$probe"
    expect "$branch: demo.sh succeeds" test "$rc" = 0
    expect "$branch: the demo runs the updater of $tree four times" \
        test "$(count "$calls" "wine-run[$tree] BUILD/$tree/Quillor - Updater.exe")" = 4
    expect "$branch: the demo runs nothing of $other" lacks "$calls" "wine-run[$other]"
    expect "$branch: the demo checks every installed file" test "$(count "$out" "installed files match the release")" = 3
    expect "$branch: the demo stops its server" test ! -e "$work/demo-$branch/state/serving"

    run "customkey-$branch" "../tests/update/fixtures/custom_key_check.sh $work/customkey-$branch/build-customkey" \
        QUILLOR_32BIT_PROBE="$probe"
    expect "$branch: custom_key_check.sh builds the key check in $tree" has "$calls" "cmake --build BUILD-customkey/$tree --target tests_update"
done

# --- Forced, on a machine that runs 32-bit programs: the copy, and the summary names the reason.
run forced test.sh QUILLOR_32BIT_PROBE=true QUILLOR_WINE_ARCH=x86_64
expect "forced: test.sh succeeds" test "$rc" = 0
expect "forced: the tests run the copy" has "$calls" "ctest --test-dir BUILD/win64 "
expect "forced: the reason is the variable" has "$out" "# QUILLOR_WINE_ARCH=x86_64 asks for it"

# --- A planted failure is named: script, line, command and exit status, up through each caller.
#   name   script    environment                     message expected on stderr
failures=(
    'build|build.sh|STUB_FAIL=--build BUILD/win|build\.sh: line [0-9]+: .cmake --build "\$build/win". failed with exit status 1'
    'build-in-test|test.sh|STUB_FAIL=--build BUILD/win|test\.sh: line [0-9]+: ."\$root/cmake/build\.sh". failed with exit status 1'
    'setup|demo.sh|STUB_MISSING=1|setup(\.sh: line [0-9]+: .apt-get update -qq. failed with exit status 100|: need root)'
    'host-config|demo.sh|STUB_FAIL=-B BUILD/host|build\.sh: line [0-9]+: .cmake -S "\$root" -B "\$build/host".* failed with exit status 1'
)
for row in "${failures[@]}"; do
    IFS='|' read -r name script environment message <<<"$row"
    # The stubs see the fake build's real path, so the pattern's BUILD is put back.
    run "fail-$name" "$script" QUILLOR_32BIT_PROBE=false "${environment/BUILD/$work/fail-$name/build}"
    expect "$name: the run fails" test "$rc" != 0
    expect "$name: stderr names where and why" grep -qE -- "$message" <<<"$err"
done

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
