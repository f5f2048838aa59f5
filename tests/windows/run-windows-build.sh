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
# there QEMU's user-mode emulator runs them, registered with binfmt_misc.
# The 64-bit build needs only wine64.
if [ $bits = 32 ] && ! wine --version >/dev/null 2>&1; then
    if ! command -v wine >/dev/null; then
        echo "wine not found: apt-get install wine wine32:i386" >&2
        exit 1
    fi
    qemu=$(command -v qemu-i386 || true)
    if [ -z "$qemu" ]; then
        echo "this machine cannot run 32-bit programs, and qemu-i386 (qemu-user) is missing" >&2
        exit 1
    fi
    # QEMU 7 does not honour MAP_FIXED_NOREPLACE, which makes every Wine
    # process start take minutes; 8 and later do.
    major=$("$qemu" --version | sed -n 's/^qemu-i386 version \([0-9]*\)\..*/\1/p')
    if [ "${major:-0}" -lt 8 ]; then
        echo "qemu-i386 $major is too slow for Wine: install qemu-user 8 or later" \
            "(Debian 12: from bookworm-backports)" >&2
        exit 1
    fi
    binfmt=/proc/sys/fs/binfmt_misc
    if [ ! -e "$binfmt/register" ]; then
        mount -t binfmt_misc binfmt_misc "$binfmt"
    fi
    if [ ! -e "$binfmt/qemu-i386" ]; then
        # 32-bit little-endian ELF executables and shared objects for i386;
        # the kernel decodes the \x escapes.
        magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
        mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
        printf '%s' ":qemu-i386:M::$magic:$mask:$qemu:" > "$binfmt/register"
    fi
    echo 1 > "$binfmt/qemu-i386"
    if ! wine --version >/dev/null 2>&1; then
        echo "wine does not start, even with $qemu registered for 32-bit programs" >&2
        exit 1
    fi
    echo "32-bit programs run under $("$qemu" --version | head -n 1)"
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
