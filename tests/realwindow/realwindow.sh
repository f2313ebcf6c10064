#!/usr/bin/env bash
# Starts the program in a real X server as a desktop would (the xcb platform
# plugin), checks that its 800 x 600 window titled "morvastel" appears, loads
# pictures through the button and the file dialog as a user would (so that
# libheif and the OpenCV module are found where this program's folder and
# the system say), sees each in the first panel, closes the window and checks
# that the program exits with 0.
#   realwindow.sh PROGRAM CLOSEWINDOW WINDOWPROBE
set -euo pipefail
if [ "${1-}" != --in-x-server ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" --in-x-server "$@"
fi
program=$2 closer=$3 probe=$4
shift 4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A 16 x 12 PNG of one colour, red 200, green 40, blue 90; the same as a BMP,
# which OpenCV decodes, and as a phone's HEIC.
base64 -d >"$work/picture.png" <<<'iVBORw0KGgoAAAANSUhEUgAAABAAAAAMCAIAAADkharWAAAAFUlEQVR42mM4oRFFEmIY1TCqATsCAKJw94EC6YKGAAAAAElFTkSuQmCC'
convert "$work/picture.png" "$work/picture.bmp"
heif-enc -q 50 -o "$work/IMG_0001.HEIC" "$work/picture.png" >/dev/null

# Whether the first panel shows the picture's colour (the HEIC's within what
# its coding loses), at a point inside it, below the menu bar.
shows_picture() {
    local red green blue
    read -r red green blue < <("$probe" colour morvastel 130 160) || return 1
    ((${red:-0} > 188 && red < 212 && green > 28 && green < 52 && blue > 78 && blue < 102))
}

# The windows titled as the file dialog: the dialog, and over it, once a
# path was wrong, its "file not found" message box.
titled() {
    xdotool search --onlyvisible --name '開啟圖片' 2>/dev/null || true
}

# Clicks "select image" (at 339, 510 in the window, 101 x 20) until the
# dialog shows, and prints the dialog's window.
open_dialog() {
    local window=$1 dialog tick
    for tick in $(seq 100); do
        dialog=$(titled | head -n 1)
        [ -n "$dialog" ] && { echo "$dialog"; return 0; }
        if ((tick % 20 == 1)); then
            xdotool mousemove --window "$window" 389 520 click 1
        fi
        sleep 0.1
    done
    return 1
}

# Types the path into the dialog and waits until the first panel shows the
# picture. On a busy machine a click can come before the window takes input,
# keys can come before the name field has the focus, and a Return can meet
# the path completer's list, which it only closes: so while nothing has come
# of it, Return is given again, and then the whole is tried again, from a
# cleared name field and with any message box closed.
load_picture() {
    local pid=$1 picture=$2 window dialog= attempt tick shown
    window=$(xdotool search --sync --onlyvisible --name '^morvastel$' | head -n 1)
    for attempt in $(seq 5); do
        if [ -z "$dialog" ] || ! titled | grep -qx "$dialog"; then
            dialog=$(open_dialog "$window") || continue
        fi
        for shown in $(titled); do
            [ "$shown" = "$dialog" ] || xdotool windowfocus --sync "$shown" key Escape || true
        done
        xdotool windowfocus --sync "$dialog" || true
        # Alt+N is the name field's mnemonic ("File &name:"); Ctrl+A selects
        # what an earlier attempt typed there, so that typing replaces it.
        xdotool key alt+n ctrl+a
        xdotool type --delay 5 "$picture"
        for tick in $(seq 60); do
            if ((tick % 20 == 1)) && [ "$(titled)" = "$dialog" ]; then
                xdotool windowfocus --sync "$dialog" key Return || true
            fi
            shows_picture && return 0
            sleep 0.1
        done
        echo "attempt $attempt: nothing loaded; windows shown:"
        for shown in $(xdotool search --onlyvisible --name . 2>/dev/null); do
            echo "  $(xdotool getwindowname "$shown")"
        done
    done
    return 1
}

# Loads the picture given, if any; a picture that failed would leave the
# failure line on standard output.
run() {
    local output status=0 picture=$1
    shift
    QT_QPA_PLATFORM=xcb "$program" "$@" >"$work/stdout" 2>"$work/stderr" &
    local pid=$!
    if [ -n "$picture" ] && ! load_picture "$pid" "$picture"; then
        kill "$pid" 2>/dev/null || true
        echo "FAIL: the picture was not shown; output '$(cat "$work/stdout")'," \
            "errors '$(cat "$work/stderr")'"
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
run "$work/picture.bmp"
run "$work/IMG_0001.HEIC"
run "" --foo bar
