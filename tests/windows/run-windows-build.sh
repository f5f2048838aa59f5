#!/usr/bin/env bash
# Builds kelmora.dll and the unit suite for 32-bit Windows with mingw-w64 and
# runs the Windows tests: the suite under Wine (in a Wine prefix inside the
# build directory), the DLL's export table on the host. With --64, the same
# for 64-bit Windows, and the end-to-end suite on a real 64-bit Windows JVM
# under wine64 (the windows-jvm tests).
# Usage: tests/windows/run-windows-build.sh [--64] [build directory]
#   (default build-win32, or build-win64 with --64)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
bits=32
if [ "${1:-}" = --64 ]; then
    bits=64
    shift
fi
build=${1:-$root/build-win$bits}
start=$SECONDS

# Wine's 32-bit loader is a 32-bit Linux program. Some x86-64 machines
# cannot run those (virtual machines without the 32-bit compatibility mode);
# there QEMU's user-mode emulator runs them, registered with binfmt_misc (a
# registration that does not outlive a reboot). The 64-bit build needs only
# wine64.
if [ $bits = 32 ]; then
    if ! command -v wine >/dev/null; then
        echo "wine not found: apt-get install wine wine32:i386" >&2
        exit 1
    fi
    "$root/scripts/i386-binfmt.sh" register
    if ! wine --version >/dev/null 2>&1; then
        echo "wine does not start: is wine32:i386 installed?" >&2
        exit 1
    fi
fi

if [ $bits = 64 ]; then
    toolchain=$root/cmake/x86_64-w64-mingw32.cmake
else
    toolchain=$root/cmake/i686-w64-mingw32.cmake
fi
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j"$(nproc)"
built=$SECONDS
# The 64-bit suite's cases each start JVMs, mostly waiting on Wine: two at a
# time.
jobs=1
[ $bits = 64 ] && jobs=2
(cd "$build" && ctest --output-on-failure -j$jobs)
echo "$bits-bit Windows build: $((built - start)) s to configure and build, $((SECONDS - built)) s of tests"
