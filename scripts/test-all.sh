#!/usr/bin/env bash
# Runs every test: native unit tests (plain, ASan+UBSan, TSan), then for the
# 64-bit and the 32-bit build the checks of the built DLL and the integration
# tests under Wine (32-bit Wine emulated where the machine runs no 32-bit
# programs; scripts/setup.sh arranges that).
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh || exit 1

failed=()
for preset in host host-asan host-tsan mingw64 mingw; do
    echo "=== $preset"
    start=$SECONDS
    cmake --workflow --preset "$preset" || failed+=("$preset")
    echo "=== $preset: $((SECONDS - start)) s"
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "all test suites passed"
