#!/usr/bin/env bash
# Shows kvpcact.dll at work under Wine: pcactmon.exe prints the idle time
# while a script moves the pointer and presses keys in another program's
# window, on a virtual X display. Needs a cross build (default build/mingw,
# the 32-bit one; build/mingw64 shows the 64-bit one under wine64).
#
# usage: scripts/demo.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

build=$(cd "${1:-build/mingw}" && pwd)
pcactmon=$build/tools/pcactmon/pcactmon.exe
probe=$build/tests/wine/pcactprobe.exe
for file in "$pcactmon" "$build/tools/pcactmon/kvpcact.dll" "$probe"; do
    [ -f "$file" ] || { echo "demo: $file is missing; build a mingw preset first" >&2; exit 1; }
done
if grep -q '^CMAKE_TOOLCHAIN_FILE.*x86_64' "$build/CMakeCache.txt"; then arch=x64; else arch=x86; fi

# A prefix and a session of its own: the test suite's may be in use at the
# same time. The test harness makes both, with its timeouts scaled for
# 32-bit Wine under emulation.
harness=(python3 tests/wine/scenarios.py --arch "$arch" --prefix "$build/demo-wineprefix"
         --state "$build/demo-session" --probe "$probe")
scale=$("${harness[@]}" scale)
harness+=(--scale "$scale")
[ "$scale" = 1 ] || echo "demo: 32-bit Wine runs emulated here: each Wine program takes about a minute to start"

input_pid=''
cleanup() {
    [ -n "$input_pid" ] && kill "$input_pid" 2>/dev/null
    if [ -n "${WINDOW_PID:-}" ]; then
        { echo quit >&"${WINDOW[1]}"; } 2>/dev/null
        wait "$WINDOW_PID" 2>/dev/null
    fi
    "${harness[@]}" stop >/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ ! -f "$build/demo-wineprefix/system.reg" ]; then
    echo "demo: creating a Wine prefix in $build/demo-wineprefix (once)"
    "${harness[@]}" prefix >/dev/null
fi
echo "demo: starting Wine on a virtual display"
"${harness[@]}" start >/dev/null

export WINEPREFIX=$build/demo-wineprefix WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
DISPLAY=$(cat "$build/demo-session/display")
export DISPLAY
if [ "$arch" = x64 ]; then wine=/usr/lib/wine/wine64; else wine=wine; fi
timeout=$((30 * scale))

# The program that takes the input: a plain window at 100,100, 400x300.
coproc WINDOW { "$wine" "$probe" 2>/dev/null; }
reply() {
    local line=''
    if ! read -r -t "$timeout" line <&"${WINDOW[0]}" || [[ $line != ok* ]]; then
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
# The input follows pcactmon's first line, however long Wine took to start it.
first=1
while IFS= read -r line; do
    echo "$line"
    if [ $first = 1 ]; then
        first=0
        (
            sleep 2.2; echo "> pointer moves to 200,150"; xdotool mousemove 200 150
            sleep 2.0; echo "> pointer moves to 320,260"; xdotool mousemove 320 260
            sleep 2.0; echo "> keys typed: hello";        xdotool type --delay 50 hello
        ) &
        input_pid=$!
    fi
done < <("$wine" "$pcactmon" --seconds 8 --interval 500 2>&1)
[ -n "$input_pid" ] && wait "$input_pid" || true
input_pid=''
[ $first = 0 ] || { echo "demo: pcactmon printed nothing" >&2; exit 1; }
