#!/usr/bin/env bash
# Builds everything and runs every test: the Linux unit and end-to-end suites,
# the unit suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# and the 32-bit Windows build with its unit suite under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

echo "== Linux build and tests"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$root/build" -j"$jobs"
(cd "$root/build" && ctest --output-on-failure -j"$jobs")

echo "== Unit tests with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S "$root" -B "$root/build-sanitize" -DCMAKE_BUILD_TYPE=Debug -DKELMORA_SANITIZE=ON
cmake --build "$root/build-sanitize" -j"$jobs" --target kelmora_unit_tests kelmora_report_tests
(cd "$root/build-sanitize" && ctest --output-on-failure -j"$jobs" -L unit)

echo "== 32-bit Windows build, unit suite under Wine, export table"
"$root/tests/windows/run-windows-build.sh" "$root/build-win32"
