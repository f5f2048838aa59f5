#!/usr/bin/env bash
# Whether this machine runs 32-bit x86 Linux programs and, where it cannot
# (x86-64 virtual machines without the 32-bit compatibility mode), QEMU's
# user-mode emulator registered with binfmt_misc to run them. Wine's 32-bit
# loader is such a program, and so are programs that the install scripts of
# Debian's i386 packages run.
# Usage: scripts/i386-binfmt.sh check      exit 0 when a 32-bit program runs
#        scripts/i386-binfmt.sh register   where none runs, registers
#                                          qemu-i386 (8 or later); as root
set -euo pipefail

# A 32-bit x86 program of 96 bytes that exits with status 32.
runs_32bit() {
    local program status=0
    program=$(mktemp "${TMPDIR:-/tmp}/kelmora-i386.XXXXXX")
    printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\273\040\000\000\000\315\200' >"$program"
    chmod +x "$program"
    "$program" 2>/dev/null || status=$?
    rm -f "$program"
    [ "$status" -eq 32 ]
}

register() {
    runs_32bit && return 0
    local qemu major
    qemu=$(command -v qemu-i386 || true)
    if [ -z "$qemu" ]; then
        echo "this machine cannot run 32-bit programs, and qemu-i386 (qemu-user) is missing" >&2
        return 1
    fi
    # QEMU 7 does not honour MAP_FIXED_NOREPLACE, which makes every Wine
    # process start take minutes; 8 and later do.
    major=$("$qemu" --version | sed -n 's/^qemu-i386 version \([0-9]*\)\..*/\1/p')
    if [ "${major:-0}" -lt 8 ]; then
        echo "qemu-i386 ${major:-?} is too slow for Wine: install qemu-user 8 or later" \
            "(Debian 12: from bookworm-backports)" >&2
        return 1
    fi
    local binfmt=/proc/sys/fs/binfmt_misc
    if [ ! -e "$binfmt/register" ]; then
        mount -t binfmt_misc binfmt_misc "$binfmt"
    fi
    # An entry of that name that does not run the program (another
    # emulator's path, a stale one) is replaced.
    if [ -e "$binfmt/qemu-i386" ]; then
        echo -1 >"$binfmt/qemu-i386"
    fi
    # 32-bit little-endian ELF executables and shared objects for i386; the
    # kernel decodes the \x escapes.
    local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    printf '%s' ":qemu-i386:M::$magic:$mask:$qemu:" >"$binfmt/register"
    if ! runs_32bit; then
        echo "32-bit programs do not run, even with $qemu registered" >&2
        return 1
    fi
    echo "32-bit programs run under $("$qemu" --version | head -n 1)"
}

case ${1:-} in
check) runs_32bit ;;
register) register ;;
*)
    echo "usage: $0 check|register" >&2
    exit 2
    ;;
esac
