#!/usr/bin/env bash
# Times a Java program making a fixed number of calls, without the agent and
# under it with three settings, and prints the cost per method event.
# Usage: benchmarks/run-benchmark.sh [calls] [repeats]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
calls=${1:-100000}
repeats=${2:-3}
build=$root/build
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target kelmora -j"$(nproc)" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
javac -d "$work/classes" "$root"/benchmarks/java/bench/*.java
cd "$work"

# Best wall time of the repeats, in milliseconds.
best_ms() {
    local best=
    for _ in $(seq 1 "$repeats"); do
        local start end
        start=$(date +%s%N)
        java "$@" -cp classes bench.Calls "$calls" >/dev/null
        end=$(date +%s%N)
        local ms=$(((end - start) / 1000000))
        if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
    done
    echo "$best"
}

agent=$build/libkelmora.so
# Each loop round makes two calls, each an entry and an exit event.
events=$((calls * 4))
base=$(best_ms)
echo "calls: $calls ($events events in the loop), best of $repeats"
printf '%-48s %8s %14s\n' "setting" "ms" "us per event"
printf '%-48s %8d %14s\n' "no agent" "$base" "-"
for setting in "filter=Ljava/,Ljdk/,Lsun/,Lbench/" "filter=Ljava/,Ljdk/,Lsun/" ""; do
    ms=$(best_ms "-agentpath:$agent${setting:+=$setting}")
    label=${setting:-"(no options: everything traced)"}
    per=$(awk -v a="$ms" -v b="$base" -v e="$events" 'BEGIN { printf "%.2f", (a - b) * 1000 / e }')
    printf '%-48s %8d %14s\n' "$label" "$ms" "$per"
done
