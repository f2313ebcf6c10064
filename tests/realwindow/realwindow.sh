#!/usr/bin/env bash
# Starts the program in a real X server as a desktop would (the xcb platform
# plugin), checks that its 800 x 600 window titled "morvastel" appears, loads
# pictures through the button and the file dialog as a user would (so that
# libheif and the OpenCV module are found where this program's folder and
# the system say), sees each in the first panel, closes the window and checks
# that the program exits with 0. While a large picture loads, and when a
# load fails, it checks what the screen and the cursor show.
#   realwindow.sh PROGRAM CLOSEWINDOW WINDOWPROBE CURSORWINDOW
set -euo pipefail
if [ "${1-}" != --in-x-server ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" --in-x-server "$@"
fi
program=$2 closer=$3 probe=$4 cursors=$5
shift 5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A 16 x 12 PNG of one colour, red 200, green 40, blue 90; the same as a BMP,
# which OpenCV decodes, and as a phone's HEIC.
base64 -d >"$work/picture.png" <<<'iVBORw0KGgoAAAANSUhEUgAAABAAAAAMCAIAAADkharWAAAAFUlEQVR42mM4oRFFEmIY1TCqATsCAKJw94EC6YKGAAAAAElFTkSuQmCC'
convert "$work/picture.png" "$work/picture.bmp"
heif-enc -q 50 -o "$work/IMG_0001.HEIC" "$work/picture.png" >/dev/null
# A flat grey 16384 x 12288 JPEG, arithmetic-coded and progressive, of 207
# bytes, whose load takes a second or more; a file of no format, and the
# PNG with a byte of its image data changed, which libpng refuses.
(printf 'P5\n16384 12288\n255\n'; head -c $((16384 * 12288)) /dev/zero | tr '\0' 'x') |
    cjpeg -grayscale -arithmetic -progressive -outfile "$work/large.jpg"
echo "not a picture" >"$work/refused.png"
cp "$work/picture.png" "$work/broken.png"
printf '\377' | dd of="$work/broken.png" bs=1 seek=45 conv=notrunc status=none

# Whether the first panel shows the picture's colour (the HEIC's within what
# its coding loses), at a point inside it, below the menu bar.
shows_picture() {
    local red green blue
    read -r red green blue < <("$probe" colour morvastel 130 160) || return 1
    ((${red:-0} > 188 && red < 212 && green > 28 && green < 52 && blue > 78 && blue < 102))
}

# Whether the first panel shows the large grey picture.
shows_grey() {
    local red green blue
    read -r red green blue < <("$probe" colour morvastel 130 160) || return 1
    ((${red:-0} > 115 && red < 125 && green > 115 && green < 125 && blue > 115 && blue < 125))
}

# Whether the program has printed the failure line once more than before.
failed_again() {
    (($(grep -c . "$work/stdout") > failures))
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
# picture, or until DONE says the load has ended. On a busy machine a click can come before the window takes input,
# keys can come before the name field has the focus, and a Return can meet
# the path completer's list, which it only closes: so while nothing has come
# of it, Return is given again, and then the whole is tried again, from a
# cleared name field and with any message box closed.
load_picture() {
    local pid=$1 picture=$2 done=${3-shows_picture} window dialog= attempt tick shown
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
            "$done" && return 0
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
# Whether two grabs of the window show the same, but for the button's own
# look under the pointer.
same_screen() {
    local difference
    difference=$("$probe" differ "$1" "$2")
    awk -v d="$difference" 'BEGIN { exit !(d < 0.02) }'
}

# While the large picture loads, the window shows itself as it was before
# the dialog opened, not the dialog, under Qt's busy cursor; then the arrow
# comes back. After a refused file and a file that fails to decode, the
# arrow is back and the window unchanged.
busy_loads() {
    local window busy arrow watcher failures=0 failing
    "$cursors" &
    window=$(xdotool search --sync --onlyvisible --name '^cursor$' | head -n 1)
    xdotool mousemove --window "$window" 100 100 sleep 0.3
    busy=$("$probe" cursor)
    "$closer" cursor >/dev/null
    wait

    QT_QPA_PLATFORM=xcb "$program" >"$work/stdout" 2>"$work/stderr" &
    local pid=$!
    load_picture "$pid" "$work/picture.png" || { echo "FAIL: no first picture"; return 1; }
    window=$(xdotool search --onlyvisible --name '^morvastel$' | head -n 1)
    xdotool mousemove --window "$window" 389 520 sleep 0.3
    arrow=$("$probe" cursor)
    "$probe" grab morvastel "$work/before"
    if [ "$arrow" = "$busy" ]; then
        echo "FAIL: the busy cursor before any load"
        return 1
    fi
    ("$probe" waitcursor "$busy" 60 && "$probe" grab morvastel "$work/during") &
    watcher=$!
    load_picture "$pid" "$work/large.jpg" shows_grey || { echo "FAIL: no large picture"; return 1; }
    if ! wait "$watcher"; then
        echo "FAIL: no busy cursor during the load"
        return 1
    fi
    if ! same_screen "$work/before" "$work/during"; then
        echo "FAIL: during the load the screen showed something else than the window"
        return 1
    fi
    "$probe" waitcursor "$arrow" 5 || { echo "FAIL: no arrow after the load"; return 1; }
    "$probe" grab morvastel "$work/shown"
    for failing in refused.png broken.png; do
        failures=$(grep -c . "$work/stdout" || true)
        load_picture "$pid" "$work/$failing" failed_again || { echo "FAIL: $failing"; return 1; }
        "$probe" waitcursor "$arrow" 5 || { echo "FAIL: no arrow after $failing"; return 1; }
        "$probe" grab morvastel "$work/after"
        same_screen "$work/shown" "$work/after" || { echo "FAIL: $failing changed the window"; return 1; }
    done
    "$closer" morvastel >/dev/null
    wait "$pid"
    if [ "$(cat "$work/stdout")" != "$(printf '失敗\n失敗')" ]; then
        echo "FAIL: output '$(cat "$work/stdout")'"
        return 1
    fi
    echo "busy cursor and window during a load, arrow after it and after two failures"
}

run "$work/picture.png"
run "$work/picture.bmp"
run "$work/IMG_0001.HEIC"
run "" --foo bar
busy_loads
