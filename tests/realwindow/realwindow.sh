#!/usr/bin/env bash
# Starts the program in a real X server as a desktop would (the xcb platform
# plugin), checks that its 800 x 600 window titled "morvastel" appears, loads
# a picture through the button and the file dialog as a user would (so that
# the codec module is found where this program's folder says), closes the
# window and checks that the program exits with 0. Arguments after the two
# tools are handed to the program.
set -euo pipefail
if [ "${1-}" != --in-x-server ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" --in-x-server "$@"
fi
program=$2 closer=$3
shift 3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A 16 x 12 PNG of one colour, and the same as a phone's HEIC.
base64 -d >"$work/picture.png" <<<'iVBORw0KGgoAAAANSUhEUgAAABAAAAAMCAIAAADkharWAAAAFUlEQVR42mM4oRFFEmIY1TCqATsCAKJw94EC6YKGAAAAAElFTkSuQmCC'
heif-enc -q 50 -o "$work/IMG_0001.HEIC" "$work/picture.png" >/dev/null

# Clicks "select image" (at 339, 510 in the window, 101 x 20), types the
# path into the dialog and waits until the program has loaded the module.
# On a busy machine a click can come before the window takes input, and a
# Return can meet the path completer's list, which it only closes: so both
# are given again while nothing has come of them.
load_picture() {
    local pid=$1 picture=$2 window dialog= tick
    window=$(xdotool search --sync --onlyvisible --name '^morvastel$' | head -n 1)
    for tick in $(seq 200); do
        if ((tick % 20 == 1)); then
            xdotool mousemove --window "$window" 389 520 click 1
        fi
        dialog=$(xdotool search --onlyvisible --name '開啟圖片' | head -n 1) && break
        sleep 0.1
    done
    [ -n "$dialog" ] || return 1
    # Typing before the dialog has the keyboard would type into nothing.
    xdotool windowfocus --sync "$dialog"
    xdotool type --delay 5 "$picture"
    for tick in $(seq 200); do
        if ((tick % 20 == 1)) && xdotool search --onlyvisible --name '開啟圖片' >/dev/null; then
            xdotool windowfocus --sync "$dialog" key Return || true
        fi
        grep -q libmorvastel_codecs "/proc/$pid/maps" && return 0
        sleep 0.1
    done
    return 1
}

# Loads the picture given, if any; a picture that failed would leave the
# failure line on standard output.
run() {
    local output status=0 picture=$1
    shift
    QT_QPA_PLATFORM=xcb "$program" "$@" >"$work/stdout" &
    local pid=$!
    if [ -n "$picture" ] && ! load_picture "$pid" "$picture"; then
        kill "$pid" 2>/dev/null || true
        echo "FAIL: the codec module was not loaded"
        return 1
    fi
    if ! output=$("$closer" morvastel); then
        kill "$pid" 2>/dev/null || true
        echo "FAIL: no window with arguments: $*"
        return 1
    fi
    wait "$pid" || status=$?
    if [ "$output" != "800x600" ] || [ "$status" -ne 0 ] || [ -s "$work/stdout" ]; then
        echo "FAIL: window $output, exit code $status, output '$(cat "$work/stdout")', arguments: $*"
        return 1
    fi
    echo "window $output closed, exit code 0, with arguments: $*"
}
run "$work/picture.png"
run "$work/IMG_0001.HEIC"
run "" --foo bar
