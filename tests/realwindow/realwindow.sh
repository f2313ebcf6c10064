#!/usr/bin/env bash
# Starts the program in a real X server as a desktop would (the xcb platform
# plugin), checks that its 800 x 600 window titled "morvastel" appears, closes
# it and checks that the program exits with 0. Arguments after the two tools
# are handed to the program.
set -euo pipefail
if [ "${1-}" != --in-x-server ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" --in-x-server "$@"
fi
program=$2 closer=$3

run() {
    local output
    QT_QPA_PLATFORM=xcb "$program" "$@" &
    local pid=$!
    if ! output=$("$closer" morvastel); then
        kill "$pid" 2>/dev/null || true
        echo "FAIL: no window with arguments: $*"
        return 1
    fi
    local status=0
    wait "$pid" || status=$?
    if [ "$output" != "800x600" ] || [ "$status" -ne 0 ]; then
        echo "FAIL: window $output, exit code $status, with arguments: $*"
        return 1
    fi
    echo "window $output closed, exit code 0, with arguments: $*"
}
run
run --foo bar
