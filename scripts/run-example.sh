#!/usr/bin/env bash
# Builds the agent, traces the bundled example program and shows the result.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
out=$root/out/example

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target kelmora kelmora-report -j"$(nproc)" >/dev/null

rm -rf "$out"
mkdir -p "$out/classes"
javac -d "$out/classes" "$root"/examples/shop/*.java
cd "$out"
# Leave the JDK's own classes out of the trace.
java "-agentpath:$build/libkelmora.so=filter=Ljava/,Ljdk/,Lsun/" -cp classes shop.Shop

for file in trace.txt MethodLegend.txt ObjectLegend.txt; do
    echo
    echo "== $out/$file ($(wc -l <"$file") lines; the first 15):"
    head -15 "$file"
done

echo
"$build/kelmora-report" --html "$out/report.html" --collapsed "$out/collapsed.txt" "$out"
echo "== The report: open $out/report.html in a browser; collapsed stacks for flame-graph tools in $out/collapsed.txt"
