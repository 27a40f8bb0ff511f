#!/bin/sh
# A user's project against the installed CMake package: installs this build
# into a fresh prefix, then configures and builds tests/release/consumer with
# the same toolchain.
#
# Usage: consume.sh run BUILD_DIR CMAKE GENERATOR TOOLCHAIN_FILE RUNNER...
#        consume.sh missing BUILD_DIR CMAKE GENERATOR TOOLCHAIN_FILE ARCH
# "run" builds the consumer and runs its hookcheck.exe with RUNNER (a command
# prefix that runs one Windows program). "missing" first removes the build's
# architecture ARCH from the prefix and expects find_package to fail, naming it.
set -eu
mode=$1 build=$2 cmake=$3 generator=$4 toolchain=$5
shift 5

work=$(mktemp -d "${TMPDIR:-/tmp}/kvpcact-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$cmake" --install "$build" --prefix "$work/prefix" >"$work/log" 2>&1 || {
    cat "$work/log"
    exit 1
}
[ "$mode" = run ] || rm -rf "${work:?}/prefix/$1"

configure() {
    "$cmake" -S "$(dirname "$0")/consumer" -B "$work/build" -G "$generator" \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_PREFIX_PATH="$work/prefix" >"$work/log" 2>&1
}

case $mode in
run)
    configure || { cat "$work/log"; exit 1; }
    "$cmake" --build "$work/build" >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
    "$@" "$work/build/hookcheck.exe"
    ;;
missing)
    if configure; then
        echo "find_package(kvpcact) succeeded in a prefix without the $1 build"
        exit 1
    fi
    # CMake wraps the message; join its lines first.
    tr -s ' \n' '  ' <"$work/log" | grep -q "has no $1 build" || {
        cat "$work/log"
        echo "find_package(kvpcact) failed without naming the missing $1 build"
        exit 1
    }
    echo "find_package(kvpcact) fails naming the missing $1 build"
    ;;
*)
    echo "consume.sh: unknown mode $mode" >&2
    exit 2
    ;;
esac
