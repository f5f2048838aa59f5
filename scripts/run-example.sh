#!/usr/bin/env bash
# Sets up the machine for the build where needed, builds the agent, traces the
# bundled example program and shows the result.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-example
out=$root/out/example

"$root/scripts/setup.sh" build

# A build of its own without the tests: only the agent and the report tool
# are compiled.
echo "== Building the agent and kelmora-report in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELMORA_TESTS=OFF >/dev/null
cmake --build "$build" --target kelmora kelmora-report -j"$(nproc)" >/dev/null

rm -rf "$out"
mkdir -p "$out/classes"
# The JDK the agent was built against: JAVA_HOME's, or the one on the PATH.
jdk_bin=${JAVA_HOME:+$JAVA_HOME/bin/}
"${jdk_bin}javac" -d "$out/classes" "$root"/examples/shop/*.java
cd "$out"
echo "== Tracing the example program in $out"
# Leave the JDK's own classes out of the trace.
"${jdk_bin}java" "-agentpath:$build/libkelmora.so=filter=Ljava/,Ljdk/,Lsun/" -cp classes shop.Shop

for file in trace.txt MethodLegend.txt ObjectLegend.txt; do
    echo
    echo "== $out/$file ($(wc -l <"$file") lines; the first 15):"
    head -15 "$file"
done

echo
"$build/kelmora-report" --html "$out/report.html" --collapsed "$out/collapsed.txt" "$out"
echo "== The report: open $out/report.html in a browser; collapsed stacks for flame-graph tools in $out/collapsed.txt"
