#!/usr/bin/env bash
# Times kelmora-report on a large real trace: the JDK's compiler compiling
# the example program, traced with the JDK's own classes filtered out
# (about 2 million lines, 265 MB; making it takes about a minute). Then on
# the same trace twice over, which doubles the lines but not the call
# paths: the memory must stay the same.
# Usage: benchmarks/report-benchmark.sh [work directory]   (kept for reuse)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$root/out/report-benchmark}
build=$root/build
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target kelmora kelmora-report -j2 >/dev/null
report=$build/kelmora-report

mkdir -p "$work/once"
cd "$work/once"
if [ ! -s trace.txt ] || [ ! -s ObjectLegend.txt ]; then
    echo "== tracing javac compiling examples/shop/Shop.java"
    rm -rf classes
    javac "-J-agentpath:$build/libkelmora.so=filter=Ljava/,Ljdk/,Lsun/" -d classes \
        "$root/examples/shop/Shop.java" >/dev/null
fi

# run NAME DIR: kelmora-report writing both outputs, under /usr/bin/time -v.
run() {
    local name=$1 dir=$2
    /usr/bin/time -v "$report" --html "$dir/report.html" --collapsed "$dir/collapsed.txt" "$dir" \
        2>"$dir/time.txt" || { cat "$dir/time.txt"; exit 1; }
    local seconds kilobytes
    seconds=$(sed -n 's/^\s*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$dir/time.txt" |
        awk -F: '{ s = 0; for (i = 1; i <= NF; i++) s = s * 60 + $i; print s }')
    kilobytes=$(sed -n 's/^\s*Maximum resident set size (kbytes): //p' "$dir/time.txt")
    printf '%-14s %10s MB trace %9s lines %7s paths %6.2f s %6d MB peak memory\n' "$name" \
        "$(($(stat -c %s "$dir/trace.txt") / 1000000))" "$(wc -l <"$dir/trace.txt")" \
        "$(wc -l <"$dir/collapsed.txt")" "$seconds" "$((kilobytes / 1024))"
    awk -v s="$seconds" 'BEGIN { exit !(s < 30) }' || echo "SLOW: $name took $seconds s (limit 30 s)"
}

mkdir -p "$work/twice"
cat "$work/once/trace.txt" "$work/once/trace.txt" >"$work/twice/trace.txt"
cp "$work/once/MethodLegend.txt" "$work/once/ObjectLegend.txt" "$work/twice/"

echo "== kelmora-report (page and collapsed stacks), $(nproc) cores"
run "trace" "$work/once"
run "trace twice" "$work/twice"
rm -f "$work/twice/trace.txt" "$work/twice/collapsed.txt"
echo "outputs: $work/once/report.html, $work/once/collapsed.txt"
