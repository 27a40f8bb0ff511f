#!/usr/bin/env bash
# Shows kvpcact.dll at work under Wine: pcactmon.exe prints the idle time
# while a script moves the pointer and presses keys in another program's
# window, on a virtual X display. Needs the cross build (default build/mingw).
#
# usage: scripts/demo.sh [BUILD_DIR]
set -euo pipefail

build=$(cd "${1:-build/mingw}" && pwd)
pcactmon=$build/tools/pcactmon/pcactmon.exe
probe=$build/tests/wine/pcactprobe.exe
for file in "$pcactmon" "$build/tools/pcactmon/kvpcact.dll" "$probe"; do
    [ -f "$file" ] || { echo "demo: $file is missing; build the mingw preset first" >&2; exit 1; }
done
for tool in wine wineboot wineserver Xvfb xdotool; do
    command -v "$tool" >/dev/null || { echo "demo: $tool is not installed" >&2; exit 1; }
done

# A prefix of its own: the test suite's prefix may be in use at the same time.
export WINEPREFIX=$build/demo-wineprefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
work=$(mktemp -d)
xvfb_pid='' input_pid=''

cleanup() {
    [ -n "$input_pid" ] && kill "$input_pid" 2>/dev/null
    if [ -n "${WINDOW_PID:-}" ]; then
        { echo quit >&"${WINDOW[1]}"; } 2>/dev/null
        wait "$WINDOW_PID" 2>/dev/null
    fi
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "demo: creating a Wine prefix in $WINEPREFIX (once, about 15 s)"
    WINEARCH=win32 wineboot -i >/dev/null 2>&1
    wineserver -w
fi

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { echo "demo: Xvfb did not start" >&2; exit 1; }
DISPLAY=:$(head -n1 "$work/display")
export DISPLAY

# The program that takes the input: a plain window at 100,100, 400x300.
coproc WINDOW { wine "$probe"; }
reply() {
    local line=''
    if ! read -r -t 30 line <&"${WINDOW[0]}" || [[ $line != ok* ]]; then
        echo "demo: window helper failed: ${line:-no reply}" >&2
        exit 1
    fi
}
reply
echo "window 100 100 400 300" >&"${WINDOW[1]}"
reply

echo "pcactmon.exe prints idle_ms (time since the last key press or pointer move) and the"
echo "last pointer position every 0.5 s for 8 s; the lines marked '>' are input sent to"
echo "another program's window. Watch idle_ms grow while nothing happens and drop after input."
(
    sleep 2.2; echo "> pointer moves to 200,150"; xdotool mousemove 200 150
    sleep 2.0; echo "> pointer moves to 320,260"; xdotool mousemove 320 260
    sleep 2.0; echo "> keys typed: hello";        xdotool type --delay 50 hello
) &
input_pid=$!
wine "$pcactmon" --seconds 8 --interval 500
wait "$input_pid" || true
input_pid=''
