#!/usr/bin/env bash
# Times the same workloads, as whole JVM runs, side by side in one go:
#   none   no agent
#   empty  agents/EmptyAgent.cpp: callbacks that do nothing (event delivery alone)
#   floor  agents/ReceiverFloorAgent.cpp: the receiver floor (per method, once:
#          static or not, filtered or not; per event of an unfiltered instance
#          method: GetLocalObject and GetTag; writes nothing)
#   agent  Kelmora (--lib, default the library this script builds), with --opts
#          (default the floor's filter, which --opts leaves as it is)
# and prints the median wall time of each in milliseconds and agent/floor.
# The rounds are interleaved (none, empty, floor, agent, then again), so that
# a burst of load on a shared machine falls on every column alike.
# It is a benchmark, not a test: nothing here fails on slowness.
#
# Usage: benchmarks/compare.sh [--java-home DIR] [--reps N] [--lib PATH]
#            [--opts TEXT] [--only TEXT] [--build DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# The usual way to run a tracer: the JDK's own packages left out.
filter="Ljava/,Ljdk/,Lsun/,Lcom/sun/"
java_home=${JAVA_HOME:-}
reps=3
lib=
opts="filter=$filter"
only=
build=$root/build-bench

usage() {
    echo "usage: $0 [--java-home DIR] [--reps N] [--lib PATH] [--opts TEXT]" \
        "[--only TEXT] [--build DIR]" >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case $1 in
        --java-home) java_home=${2:?}; shift 2 ;;
        --reps) reps=${2:?}; shift 2 ;;
        --lib) lib=${2:?}; shift 2 ;;
        --opts) opts=${2-}; shift 2 ;;
        --only) only=${2:?}; shift 2 ;;
        --build) build=${2:?}; shift 2 ;;
        *) usage ;;
    esac
done
case $reps in '' | *[!0-9]* | 0) echo "--reps wants a positive number" >&2; exit 2 ;; esac
if [ -z "$java_home" ]; then
    java_home=$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")
fi
java=$java_home/bin/java
javac=$java_home/bin/javac
if [ ! -x "$java" ] || [ ! -x "$javac" ]; then
    echo "no java and javac in $java_home/bin" >&2
    exit 2
fi

# A build of its own: no sanitizers and no tests, whatever build/ is set up for.
targets="kelmora_bench_empty kelmora_bench_receiverfloor"
[ -n "$lib" ] || targets="$targets kelmora"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKELMORA_TESTS=OFF -DKELMORA_SANITIZE=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" --target $targets -j2 >/dev/null
lib=$(readlink -f "${lib:-$build/libkelmora.so}")
[ -f "$lib" ] || { echo "no agent library at $lib" >&2; exit 2; }
empty_agent=$build/benchmarks/libkelmora_bench_empty.so
floor_agent=$build/benchmarks/libkelmora_bench_receiverfloor.so

work=$(mktemp -d "${TMPDIR:-/tmp}/kelmora-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$javac" -d "$work/classes/calls" "$root"/benchmarks/java/bench/*.java
for shape in "narrow 1 50" "wide 20 1000"; do
    # shellcheck disable=SC2086
    set -- $shape
    "$java" "$root/benchmarks/java/gen/WideSources.java" "$work/src/$1" "$2" "$3"
    "$javac" -d "$work/classes/$1" "$work/src/$1"/bench/*.java
done

# name, class directory, main class and arguments; events are about twice
# the calls.
workloads=(
    "instance-20k calls bench.Calls 20000 instance"
    "ctor-10k calls bench.Calls 10000 ctor"
    "static-400k calls bench.Calls 400000 static"
    "threads4-static-100k calls bench.Calls 100000 static 4"
    "threads2-spaced-100k calls bench.Spaced 100000 100 2"
    "narrow-50keys-40k narrow bench.Wide 800"
    "wide-20kkeys-40k wide bench.Wide 2"
)
configs=(none empty floor agent)

agent_args() {
    case $1 in
        none) ;;
        empty) echo "-agentpath:$empty_agent" ;;
        floor) echo "-agentpath:$floor_agent=$filter" ;;
        agent) echo "-agentpath:$lib${opts:+=$opts}" ;;
    esac
}

# Wall milliseconds of one JVM run, in a directory of its own for the agent's
# files.
time_run() {
    local config=$1 classes=$2
    shift 2
    local dir start end
    dir=$(mktemp -d "$work/run.XXXXXX")
    local -a jvm=()
    local arg
    arg=$(agent_args "$config")
    [ -z "$arg" ] || jvm=("$arg")
    start=$(date +%s%N)
    if ! (cd "$dir" && "$java" "${jvm[@]}" -cp "$work/classes/$classes" "$@" \
        >/dev/null 2>"$dir/stderr"); then
        echo "failed: $java ${jvm[*]} $*" >&2
        tail -n 20 "$dir/stderr" >&2
        exit 1
    fi
    end=$(date +%s%N)
    # An agent that did not load would pass for a fast one; Kelmora creates
    # its trace at load even when it records nothing.
    if [ "$config" = agent ] && [ ! -e "$dir/trace.txt" ]; then
        echo "the agent wrote no trace: $java ${jvm[*]} $*" >&2
        exit 1
    fi
    rm -rf "$dir"
    echo $(((end - start) / 1000000))
}

median() {
    printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 }
        END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

echo "# $("$java" -version 2>&1 | head -n 1), $reps runs each, median wall ms"
echo "# agent: $lib${opts:+=$opts}"
printf '%-24s %8s %8s %8s %8s %12s\n' workload "${configs[@]}" agent/floor
for workload in "${workloads[@]}"; do
    # shellcheck disable=SC2086
    set -- $workload
    name=$1 classes=$2
    shift 2
    case $name in *"$only"*) ;; *) continue ;; esac
    declare -A times=()
    for _ in $(seq 1 "$reps"); do
        for config in "${configs[@]}"; do
            ms=$(time_run "$config" "$classes" "$@") || exit 1
            times[$config]="${times[$config]:-} $ms"
        done
    done
    declare -A med=()
    for config in "${configs[@]}"; do
        # shellcheck disable=SC2086
        med[$config]=$(median ${times[$config]})
    done
    ratio=$(awk -v a="${med[agent]}" -v f="${med[floor]}" 'BEGIN { printf "%.2f", a / f }')
    printf '%-24s %8d %8d %8d %8d %12s\n' "$name" "${med[none]}" "${med[empty]}" \
        "${med[floor]}" "${med[agent]}" "$ratio"
    unset times med
done
