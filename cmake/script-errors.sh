# Sourced first by the scripts of the two commands: strict mode, and a command that fails under it
# names the script, the line, the command and its exit status instead of ending the run without
# a word (a sourced file whose last test was false once ended build.sh that way).
set -Eeuo pipefail
trap 'script_failed $? "${BASH_SOURCE[0]:-$0}" "$LINENO" "$BASH_COMMAND"' ERR
script_failed() { echo "${2##*/}: line $3: '$4' failed with exit status $1" >&2; }
