#!/bin/sh
# The man page: rendered by scdoc and man without a warning, a section per command, every option.
set -eu
page=$1
tool=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "man_page_test: $*" >&2; exit 1; }

scdoc <"$page" >"$work/quillor-publish.1" || fail "scdoc refused $page"
LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$work/quillor-publish.1" >/dev/null 2>"$work/warnings" || fail "man failed"
[ ! -s "$work/warnings" ] || fail "man warns: $(cat "$work/warnings")"

# The overview lists each command on a line of its own: two blanks, then the name.
commands=$("$tool" help | sed -n 's/^  \([a-z][a-z-]*\)\( .*\)\{0,1\}$/\1/p')
[ -n "$commands" ] || fail "no commands in the overview"
for command in $commands; do
    grep -qx "## $command" "$page" || fail "no section for the command $command"
    for option in $("$tool" help "$command" | grep -o -- '--[a-z][a-z-]*' | sort -u); do
        # Only the command's own options: the usage also quotes other programs' (pkcs11-tool --sign).
        "$tool" "$command" "$option" x --help >/dev/null 2>&1 || continue
        grep -q -- "\*$option\*" "$page" || fail "$command: $option is not in the page"
    done
done
echo "man_page_test: $(echo $commands | wc -w) commands, page clean"
