#!/usr/bin/env bash
# Builds kvpcact.dll and pcactmon.exe for 32-bit Windows, then shows them at
# work under Wine: the idle time grows and drops back as input comes in.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset mingw
cmake --build --preset mingw
ls -l build/mingw/kvpcact.dll
scripts/demo.sh build/mingw
