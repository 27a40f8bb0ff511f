#!/bin/sh
# Builds kvpcact.dll twice from scratch, in two directories of different
# names, and checks that both and the DLL of this build are the same bytes:
# no time stamp, path or other trace of the build machine may reach the file.
# Usage: reproducible.sh SOURCE_DIR DLL CMAKE GENERATOR TOOLCHAIN_FILE BUILD_TYPE
set -eu
source_dir=$1 dll=$2 cmake=$3 generator=$4 toolchain=$5 build_type=$6

first=$(mktemp -d "${TMPDIR:-/tmp}/kvpcact-repro-a.XXXXXX")
second=$(mktemp -d "${TMPDIR:-/tmp}/kvpcact-repro-bb.XXXXXXXX")
trap 'rm -rf "$first" "$second" "$first.log" "$second.log"' EXIT

for dir in "$first" "$second"; do
    # Only the DLL is built; the test programs are configured, never built.
    "$cmake" -S "$source_dir" -B "$dir" -G "$generator" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE="$build_type" >"$dir.log" 2>&1 || { cat "$dir.log"; exit 1; }
    "$cmake" --build "$dir" --target kvpcact >>"$dir.log" 2>&1 || { cat "$dir.log"; exit 1; }
    rm -f "$dir.log"
done

status=0
cmp "$first/kvpcact.dll" "$second/kvpcact.dll" || { echo "two clean builds differ"; status=1; }
cmp "$first/kvpcact.dll" "$dll" || { echo "a clean build differs from $dll"; status=1; }
[ $status -ne 0 ] || echo "kvpcact.dll: the same bytes from three builds"
exit $status
