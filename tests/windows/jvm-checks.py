#!/usr/bin/env python3
"""Checks of the files a traced Windows JVM left, whose lines end in CR LF.

  jvm-checks.py balanced TRACE PREFIX   whole event lines; as many exits as
                                        entries for each method of PREFIX
  jvm-checks.py legend FILE             lines "<id> == <entry>", ids 1, 2, 3...
  jvm-checks.py survived FILE KIND CALLS [fault]
      FILE (KIND trace, methods or objects), left by win.Dying after CALLS
      calls (and its native fault), holds every line recorded, then only
      blanks: at most one growth step of them, and some.
Each prints what it found, or why it fails (exit status 1).
"""
import collections
import re
import sys


def lines_of(path, data=None):
    """The CR LF lines of the file; fails on a bare LF or CR, or an
    unterminated last line."""
    if data is None:
        data = open(path, "rb").read()
    if not data.endswith(b"\r\n"):
        sys.exit(f"{path}: the last line does not end in CR LF: {data[-40:]!r}")
    lines = data[:-2].split(b"\r\n")
    for n, line in enumerate(lines, 1):
        if b"\n" in line or b"\r" in line:
            sys.exit(f"{path}: line {n} has a bare line end: {line[:120]!r}")
    return [line.decode("latin-1") for line in lines]


def b36(n):
    s = ""
    while n > 0:
        s = "0123456789abcdefghijklmnopqrstuvwxyz"[n % 36] + s
        n //= 36
    return s


def balanced(path, prefix):
    line_re = re.compile(r"^ *(-?)(L[^ ;]+;)([^ (]+)(\([^ ]*)$")
    counts = collections.Counter()
    for n, line in enumerate(lines_of(path), 1):
        if line.strip() == "Warning: Left method that hasn't been entered...":
            continue
        m = line_re.match(line)
        if not m:
            sys.exit(f"{path}: line {n} is not an event line: {line[:120]!r}")
        if m.group(2).startswith(prefix):
            counts[(m.group(2) + m.group(3) + m.group(4), m.group(1))] += 1
    methods = {k for k, _ in counts}
    if not methods:
        sys.exit(f"{path}: no event of {prefix}")
    for method in methods:
        entries, exits = counts[(method, "")], counts[(method, "-")]
        if entries != exits:
            sys.exit(f"{path}: {method}: {entries} entries, {exits} exits")
    print(f"{path}: {len(methods)} methods balanced")


def legend(path):
    lines = lines_of(path)
    for n, line in enumerate(lines, 1):
        if line.split(" == ", 1)[0] != b36(n) or " == " not in line:
            sys.exit(f"{path}: line {n}: {line[:80]!r}")
    print(f"{path}: {len(lines)} entries")


def survived(path, kind, calls, fault):
    if kind == "trace":
        lines = [" Lwin/Dying;main([Ljava/lang/String;)V"]
        for _ in range(calls):
            lines += ["  Lwin/Dying;<init>()V", "  -Lwin/Dying;<init>()V",
                      "  Lwin/Dying;touch()V", "  -Lwin/Dying;touch()V"]
        if fault:
            lines.append("  Lwin/Dying;fault()V")
        step = 4 << 20
    elif kind == "methods":
        lines = ["1 == main:<([Ljava/lang/String;)V>:<(null)>||Lwin/Dying;",
                 "2 == <init>:<()V>:<(null)>", "3 == touch:<()V>:<(null)>"]
        if fault:
            # The VM counts no argument slots of a native method: the agent
            # takes it as an instance method, as on Linux.
            lines.append("4 == fault:<()V>:<(null)>")
        step = 1 << 20
    else:
        lines = [f"{b36(n)} == Lwin/Dying;" for n in range(1, calls + 1)]
        step = 1 << 20
    want = ("\r\n".join(lines) + "\r\n").encode()
    data = open(path, "rb").read()
    nul = data.find(b"\0")
    if nul >= 0:
        sys.exit(f"{path}: NUL byte at {nul}")
    if not data.startswith(want):
        at = next((i for i, (a, b) in enumerate(zip(data, want)) if a != b),
                  min(len(data), len(want)))
        sys.exit(f"{path}: differs from the expected {len(want)} bytes at byte {at}: "
                 f"{data[max(0, at - 60):at + 60]!r}")
    padding = data[len(want):]
    if padding.strip(b" "):
        sys.exit(f"{path}: more than blanks after the lines: {padding.strip(b' ')[:120]!r}")
    if not 0 < len(padding) <= step:
        sys.exit(f"{path}: {len(padding)} bytes of padding")
    print(f"{path}: {len(lines)} lines, then {len(padding)} blanks")


def main(args):
    if args[:1] == ["balanced"] and len(args) == 3:
        balanced(args[1], args[2])
    elif args[:1] == ["legend"] and len(args) == 2:
        legend(args[1])
    elif args[:1] == ["survived"] and len(args) in (4, 5):
        survived(args[1], args[2], int(args[3]), args[4:] == ["fault"])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
