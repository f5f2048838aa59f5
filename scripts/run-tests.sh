#!/usr/bin/env bash
# Sets up the machine for the tests where needed, then builds everything and
# runs every test: the Linux unit suite, the end-to-end suite once per JDK 17
# or later found, the unit suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, the 32-bit Windows build with its unit suite
# under Wine, and the 64-bit Windows build with its unit suite and the
# end-to-end suite on a real Windows JVM under wine64.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

"$root/scripts/setup.sh" test

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

echo "== 64-bit Windows build, unit suite under wine64, end-to-end suite on a Windows JVM"
"$root/tests/windows/run-windows-build.sh" --64 "$root/build-win64"
