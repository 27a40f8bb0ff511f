#!/usr/bin/env bash
# Runs every test: native unit tests (plain, ASan+UBSan, TSan), then the
# checks of the built DLL and the integration tests under Wine.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh || exit 1

failed=()
for preset in host host-asan host-tsan mingw; do
    echo "=== $preset"
    cmake --workflow --preset "$preset" || failed+=("$preset")
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "all test suites passed"
