#!/bin/bash
# The demo: build everything, publish a release, serve it on 127.0.0.1:8080, update an
# installation silently, publish a second release and update again, showing logs and exit codes.
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/cmake/script-errors.sh"

"$root/cmake/setup.sh"
"$root/cmake/build.sh"
"$root/cmake/demo-run.sh"
