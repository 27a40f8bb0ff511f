#!/usr/bin/env bash
# Runs every test: native unit tests (plain, ASan+UBSan, TSan), then for the
# 64-bit and the 32-bit build the checks of the built DLL and the integration
# tests under Wine (32-bit Wine emulated where the machine runs no 32-bit
# programs; scripts/setup.sh arranges that).
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh || exit 1

failed=()
# The 64-bit suite runs the 32-bit build's programs beside its own
# (wine_two_monitors): that build must be there when the 64-bit one is
# configured. Its own tests still run last, being the slowest.
cmake --preset mingw >/dev/null && cmake --build --preset mingw || failed+=("mingw (build)")
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
