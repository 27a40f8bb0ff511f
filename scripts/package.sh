#!/usr/bin/env bash
# Builds kvpcact for x86 and x64 (presets mingw and mingw64, no tests) and
# packs the release: dist/kvpcact-<version>-windows.zip, laid out as an
# install tree of both builds, and dist/SHA256SUMS beside it. Clean builds
# in any folder give the same bytes.
#
# Usage: scripts/package.sh [--build-dir DIR] [--dist DIR]
#   --build-dir DIR  where the two builds go, as DIR/mingw and DIR/mingw64
#                    (default: build, where the presets put them)
#   --dist DIR       where the archive goes (default: dist)
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$source_dir/build
dist_dir=$source_dir/dist

usage() {
    echo "package.sh: $*" >&2
    exit 2
}
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || usage "unknown argument or missing folder: $1"
    case $1 in
    --build-dir) build_dir=$2 ;;
    --dist) dist_dir=$2 ;;
    *) usage "unknown argument: $1" ;;
    esac
    shift 2
done

stage=$(mktemp -d "${TMPDIR:-/tmp}/kvpcact-stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT

for preset in mingw mingw64; do
    echo "=== $preset"
    cmake --preset "$preset" -S "$source_dir" -B "$build_dir/$preset" >/dev/null
    cmake --build "$build_dir/$preset" --parallel 2
    cmake --install "$build_dir/$preset" --prefix "$stage" >/dev/null
done

python3 "$source_dir/scripts/archive.py" "$stage" "$dist_dir"
