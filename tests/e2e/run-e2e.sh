#!/usr/bin/env bash
# Runs one end-to-end case: a real JVM loads the agent in a fresh working
# directory, then the files and console output are checked.
# Usage: run-e2e.sh CASE   with KELMORA_AGENT, KELMORA_CLASSES, KELMORA_EXPECTED,
# JAVA (the java binary of the JDK under test), KELMORA_REPORT (the built
# kelmora-report), and for the case `installed` KELMORA_BUILD_DIR and
# CMAKE_COMMAND set by CTest.
set -u
case_name=$1
: "${JAVA:=java}"
# A JDK removed since the tests were configured is skipped, not failed.
if ! "$JAVA" -version >/dev/null 2>&1; then
    echo "SKIP [$case_name]: $JAVA does not run"
    exit 77
fi
agent=$KELMORA_AGENT
classes=$KELMORA_CLASSES
expected=$KELMORA_EXPECTED

work=$(mktemp -d "${TMPDIR:-/tmp}/kelmora-e2e.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

failures=0
fail() {
    echo "FAIL [$case_name]: $*" >&2
    failures=$((failures + 1))
}

# run_java OPTIONS ARGS...: runs the JVM with the agent, keeping stdout,
# stderr and the exit code.
run_java() {
    local options=$1
    shift
    local agent_arg="-agentpath:$agent"
    [ -n "$options" ] && agent_arg="$agent_arg=$options"
    "$JAVA" -Xshare:auto "$agent_arg" -cp "$classes" "$@" >stdout.txt 2>stderr.txt
    status=$?
}

expect_clean_exit() {
    [ "$status" -eq 0 ] || fail "java exited with $status; stderr: $(head -c 2000 stderr.txt)"
    if ls hs_err_pid*.log >/dev/null 2>&1; then
        fail "the JVM crashed: $(head -20 hs_err_pid*.log)"
    fi
    grep -q "Kelmora-Logging exited cleanly." stdout.txt || fail "no closing message"
}

same_file() {
    if ! diff -u "$1" "$2" >diff.txt; then
        fail "$2 differs from $1: $(head -40 diff.txt)"
    fi
}

# Every legend line is "<id> == <entry>" with identifiers 1, 2, 3... in base 36.
check_legend() {
    if [ -s "$1" ] && [ -n "$(tail -c 1 "$1")" ]; then
        fail "$1: last line unterminated"
    fi
    awk '
        function b36(n,  s) {
            s = ""
            while (n > 0) { s = substr("0123456789abcdefghijklmnopqrstuvwxyz", n % 36 + 1, 1) s; n = int(n / 36) }
            return s
        }
        { split($0, part, " == "); if (index($0, " == ") == 0 || part[1] != b36(NR)) { print FILENAME ": line " NR ": " substr($0, 1, 80); bad = 1; exit } }
        END { exit bad }
    ' "$1" >legend-check.txt || fail "$1 is not a well-formed legend: $(cat legend-check.txt)"
}

# Every trace line is a whole event line; per method as many exits as entries.
check_balanced_trace() {
    python3 - "$1" "$2" <<'PY' || fail "trace lines torn or unbalanced"
import re, sys, collections
prefix = sys.argv[2]
line_re = re.compile(r"^ *(-?)(L[^ ;]+;)([^ (]+)(\([^ ]*)$")
counts = collections.Counter()
for n, line in enumerate(open(sys.argv[1], encoding="latin-1"), 1):
    line = line.rstrip("\n")
    if line.strip() == "Warning: Left method that hasn't been entered...":
        continue
    m = line_re.match(line)
    assert m, f"line {n} is not an event line: {line[:120]!r}"
    if m.group(2).startswith(prefix):
        counts[(m.group(2) + m.group(3) + m.group(4), m.group(1))] += 1
methods = {k for k, _ in counts}
assert methods, "no event of " + prefix
for method in methods:
    entries, exits = counts[(method, "")], counts[(method, "-")]
    assert entries == exits, f"{method}: {entries} entries, {exits} exits"
print(f"{len(methods)} methods balanced")
PY
}

# check_survived FILE KIND CALLS: FILE, left by a JVM that died after app.Crash
# made CALLS calls, holds every line recorded, then only blanks (at most one
# growth step of them, and some: the file was never closed).
check_survived() {
    python3 - "$@" <<'PY' || fail "$1 lacks recorded lines or ends in more than padding"
import sys
path, kind, calls = sys.argv[1], sys.argv[2], int(sys.argv[3])
def b36(n):
    s = ""
    while n > 0:
        s = "0123456789abcdefghijklmnopqrstuvwxyz"[n % 36] + s
        n //= 36
    return s
if kind == "trace":
    lines = [" Lapp/Crash;main([Ljava/lang/String;)V"]
    for _ in range(calls):
        lines += ["  Lapp/Crash;<init>()V", "  -Lapp/Crash;<init>()V",
                  "  Lapp/Crash;touch()V", "  -Lapp/Crash;touch()V"]
    step = 4 << 20
elif kind == "methods":
    lines = ["1 == main:<([Ljava/lang/String;)V>:<(null)>||Lapp/Crash;",
             "2 == <init>:<()V>:<(null)>", "3 == touch:<()V>:<(null)>"]
    step = 1 << 20
else:
    lines = [f"{b36(n)} == Lapp/Crash;" for n in range(1, calls + 1)]
    step = 1 << 20
want = ("\n".join(lines) + "\n").encode()
data = open(path, "rb").read()
assert b"\0" not in data, "NUL byte at %d" % data.index(b"\0")
if not data.startswith(want):
    common = next((i for i, (a, b) in enumerate(zip(data, want)) if a != b), min(len(data), len(want)))
    sys.exit(f"{path}: differs from the expected {len(want)} bytes at byte {common}: {data[max(0, common - 60):common + 60]!r}")
padding = data[len(want):]
assert padding.strip(b" ") == b"", f"{path}: more than blanks after the lines: {padding.strip(b' ')[:120]!r}"
assert 0 < len(padding) <= step, f"{path}: {len(padding)} bytes of padding"
print(f"{path}: {len(lines)} lines, then {len(padding)} blanks")
PY
}

# traced_in DIR CLASSPATH OPTIONS ARGS...: runs the JVM with the agent in DIR.
traced_in() {
    local dir=$1 path=$2 options=$3
    shift 3
    mkdir -p "$dir"
    (cd "$dir" && "$JAVA" -Xshare:auto -Xlog:class+load=info:file=classes.txt \
        "-agentpath:$agent=$options" -cp "$path" "$@" >stdout.txt 2>stderr.txt)
    status=$?
    [ "$status" -eq 0 ] || fail "$dir: java exited with $status: $(head -c 1500 "$dir/stderr.txt")"
}

# A lambda's class is named after its address, which differs run to run.
unaddressed() { sed -e 's/\(\$\$Lambda[$0-9]*\)[./]0x[0-9a-f]*/\1/g' "$1"; }

same_files_in() {
    for file in trace.txt MethodLegend.txt ObjectLegend.txt; do
        if grep -q '\$\$Lambda' "$1/$file" "$2/$file"; then
            unaddressed "$1/$file" >"$1/$file.unaddressed"
            unaddressed "$2/$file" >"$2/$file.unaddressed"
            same_file "$1/$file.unaddressed" "$2/$file.unaddressed"
        else
            same_file "$1/$file" "$2/$file"
        fi
    done
    [ -e "$1/errorLog.txt" ] || [ -e "$2/errorLog.txt" ] && same_file "$1/errorLog.txt" "$2/errorLog.txt"
}

# The legend's entries without their identifiers, sorted.
legend_entries() { sed 's/^[0-9a-z]* == //' "$1" | sort; }

case $case_name in
deterministic)
    # A known program with the JDK filtered out gives known files.
    echo "stale" >trace.txt
    echo "[ERROR] JVMTI: 1 (old): old" >errorLog.txt
    run_java "filter=Ljava/,Ljdk/,Lsun/" app.Main
    expect_clean_exit
    same_file "$expected/trace.txt" trace.txt
    same_file "$expected/MethodLegend.txt" MethodLegend.txt
    same_file "$expected/ObjectLegend.txt" ObjectLegend.txt
    [ -e errorLog.txt ] && fail "the old error log was not deleted (or new errors): $(cat errorLog.txt)"
    grep -qx "Found option: filter=Ljava/,Ljdk/,Lsun/" stdout.txt || fail "option not echoed"
    ;;
no-options)
    # Without options the JDK's own methods are traced too.
    run_java "" app.Main
    expect_clean_exit
    grep -q "^ *Ljava/lang/" trace.txt || fail "no JDK method traced"
    grep -q "^ *Lapp/Main;main(\[Ljava/lang/String;)V$" trace.txt || fail "main not traced"
    grep -q "Found option" stdout.txt && fail "an option was echoed"
    check_legend MethodLegend.txt
    check_legend ObjectLegend.txt
    [ -s MethodLegend.txt ] || fail "empty method legend"
    ;;
options)
    # Options echoed in order; keywords in any case; activation gate.
    run_java "*FILTER=Ljava/,Ljdk/,Lsun/**mode=ignored*activation=Lapp/Dog;fetch;()V*" app.Main
    expect_clean_exit
    printf 'Found option: FILTER=Ljava/,Ljdk/,Lsun/\nFound option: mode=ignored\nFound option: activation=Lapp/Dog;fetch;()V\n' >want.txt
    head -3 stdout.txt >got.txt
    same_file want.txt got.txt
    # Gate open from the start (counter 1), so everything is traced as without activation.
    grep -q "^ *-\?Ljava/" trace.txt && fail "filtered class traced"
    same_file "$expected/trace.txt" trace.txt
    ;;
threads)
    run_java "filter=Ljava/,Ljdk/,Lsun/" app.Threads
    expect_clean_exit
    check_balanced_trace trace.txt "Lapp/"
    [ "$(grep -c '^ *Lapp/Worker;step(I)I$' trace.txt)" -eq 8000 ] || fail "not 8000 step entries"
    check_legend MethodLegend.txt
    check_legend ObjectLegend.txt
    ;;
busy-return | busy-exit)
    # Threads still busy while the JVM shuts down, repeated to catch a race.
    mode=${case_name#busy-}
    for round in $(seq 1 15); do
        rm -f trace.txt MethodLegend.txt ObjectLegend.txt
        run_java "filter=Ljava/,Ljdk/,Lsun/" app.BusyExit "$mode"
        expect_clean_exit
        check_legend MethodLegend.txt
        check_legend ObjectLegend.txt
        grep -q "run:<()V>:<(null)>" MethodLegend.txt || fail "round $round: legend incomplete"
        [ "$failures" -eq 0 ] || break
    done
    ;;
recursion)
    run_java "filter=Ljava/,Ljdk/,Lsun/" app.Recursion 3000
    expect_clean_exit
    check_balanced_trace trace.txt "Lapp/"
    depth=$(grep "Lapp/Recursion;down(I)I" trace.txt | awk '{ print match($0, /[^ ]/) - 1 }' | sort -n | tail -1)
    [ "$depth" = 3002 ] || fail "deepest line indented by $depth, not 3002"
    ;;
unwritable-trace)
    # trace.txt cannot be created: the trace goes to standard output.
    mkdir trace.txt
    run_java "filter=Ljava/,Ljdk/,Lsun/" app.Main
    expect_clean_exit
    grep -q "^ Lapp/Main;main(\[Ljava/lang/String;)V$" stdout.txt || fail "trace not on standard output"
    grep -q "trace.txt" stderr.txt || fail "no word of the unwritable trace file"
    same_file "$expected/MethodLegend.txt" MethodLegend.txt
    ;;
shared-work)
    # Instance methods on four threads at once, on receivers shared between
    # them and of their own; the quiet subclass's receivers are filtered.
    run_java "filter=Ljava/,Ljdk/,Lsun/,Lapp/Quiet" app.SharedWork 3000
    expect_clean_exit
    check_balanced_trace trace.txt "Lapp/"
    check_legend MethodLegend.txt
    check_legend ObjectLegend.txt
    [ "$(grep -c '^ *Lapp/Tally;add(I)V$' trace.txt)" -eq 36000 ] || fail "not 36000 add entries"
    [ "$(grep -c '^ *Lapp/Tally;addTwice(I)V$' trace.txt)" -eq 12000 ] || fail "not 12000 addTwice entries"
    # The shared tally and each thread's own; never the quiet one.
    [ "$(grep -c ' == Lapp/Tally;$' ObjectLegend.txt)" -eq 5 ] || fail "not 5 tallies in the object legend"
    grep -q "Quiet" ObjectLegend.txt trace.txt && fail "the filtered subclass was traced"
    ;;
unloading)
    # Classes of a dropped class loader are unloaded and loaded again.
    run_java "filter=Ljava/,Ljdk/,Lsun/" app.Unloading 2000
    expect_clean_exit
    check_balanced_trace trace.txt "Lapp/"
    check_legend MethodLegend.txt
    for line in "Lapp/PluginA;applyAsInt(I)I 4000" "Lapp/PluginA;twice(I)I 4000" \
        "Lapp/PluginB;applyAsInt(I)I 2000" "Lapp/PluginB;thrice(I)I 2000" "Lapp/PluginA;<init>()V 2"; do
        set -- $line
        got=$(awk -v m="$1" '{ sub(/^ +/, "") } $0 == m { n++ } END { print n + 0 }' trace.txt)
        [ "$got" -eq "$2" ] || fail "$1: $got entries, not $2"
    done
    grep -q "app.PluginB unloaded" stdout.txt || echo "note: the VM kept the plugin classes loaded" >&2
    ;;
crash-segv)
    # A write to address 0: the JVM dies in its crash handler, no unload.
    calls=1000
    run_java "filter=Ljava/,Ljdk/,Lsun/" -XX:-CreateCoredumpOnCrash -XX:ErrorFile="$work/hs_err.log" \
        app.Crash segv $calls
    [ "$status" -ne 0 ] || fail "the JVM did not crash"
    [ -e hs_err.log ] || fail "no crash report from the JVM; stdout: $(head -c 500 stdout.txt)"
    grep -q "Kelmora-Logging exited cleanly." stdout.txt && fail "unload ran: nothing was tested"
    check_survived trace.txt trace $calls
    check_survived MethodLegend.txt methods $calls
    check_survived ObjectLegend.txt objects $calls
    ;;
crash-kill)
    # SIGKILL once the program says it made its calls; enough calls to grow
    # the trace and the object legend past their first step.
    calls=60000
    "$JAVA" -Xshare:auto "-agentpath:$agent=filter=Ljava/,Ljdk/,Lsun/" -cp "$classes" \
        app.Crash wait $calls >stdout.txt 2>stderr.txt &
    pid=$!
    for _ in $(seq 1 1200); do
        grep -q "^made $calls calls$" stdout.txt && break
        kill -0 $pid 2>/dev/null || break
        sleep 0.1
    done
    grep -q "^made $calls calls$" stdout.txt || fail "the program did not say it made its calls"
    kill -KILL $pid
    wait $pid 2>/dev/null
    status=$?
    [ "$status" -eq 137 ] || fail "java ended with $status, not by SIGKILL"
    check_survived trace.txt trace $calls
    check_survived MethodLegend.txt methods $calls
    check_survived ObjectLegend.txt objects $calls
    ;;
report)
    # kelmora-report on the files of a known program: the collapsed stacks
    # are the calls app.Main makes (expected/collapsed.txt); then on the
    # threads' trace, and on bad input.
    report=$KELMORA_REPORT
    run_java "filter=Ljava/,Ljdk/,Lsun/" app.Main
    expect_clean_exit
    "$report" --collapsed collapsed.txt --html page.html . 2>report-err.txt || fail "report exited with $?"
    same_file "$expected/collapsed.txt" collapsed.txt
    grep -q "wrote page.html: 270 lines, 135 calls on 56 call paths" report-err.txt ||
        fail "report said: $(cat report-err.txt)"
    [ "$(grep -vc "wrote page.html" report-err.txt)" -eq 0 ] || fail "problems reported: $(cat report-err.txt)"
    grep -q '"problemCount":0' page.html || fail "the page lists problems"
    "$report" --collapsed - . >stdout-collapsed.txt 2>/dev/null
    same_file "$expected/collapsed.txt" stdout-collapsed.txt
    [ -e report.html ] && fail "report.html written with only --collapsed"
    "$report" . 2>/dev/null && [ -s report.html ] || fail "no report.html without options"

    mkdir threads && cd threads || exit 1
    run_java "filter=Ljava/,Ljdk/,Lsun/" app.Threads
    expect_clean_exit
    "$report" --collapsed collapsed.txt . 2>report-err.txt || fail "report exited with $? on the threads' trace"
    # However the threads' lines interleave, every call is on some path.
    steps=$(awk '$1 ~ /(^|;)app\.Worker\.step\(int\)$/ { n += $2 } END { print n + 0 }' collapsed.txt)
    [ "$steps" -eq 8000 ] || fail "$steps calls of step(int) in the collapsed stacks, not 8000"
    runs=$(awk '$1 ~ /(^|;)app\.Worker\.run\(\)$/ { n += $2 } END { print n + 0 }' collapsed.txt)
    [ "$runs" -eq 4 ] || fail "$runs calls of Worker.run(), not 4"
    cd .. || exit 1

    # Bad input: a crashed run cut inside a line, a missing legend, nothing at all.
    mkdir crashed && head -c 3000 "$expected/trace.txt" >crashed/trace.txt
    head -c 4096 /dev/zero >>crashed/trace.txt
    cp "$expected/MethodLegend.txt" crashed/
    "$report" crashed 2>crashed-err.txt || fail "report exited with $? on a cut trace"
    grep -q "crashed/trace.txt:[0-9]*: the trace ends in the middle of this line\|crashed/trace.txt:[0-9]*: the line is cut short" crashed-err.txt ||
        fail "no word of the cut line: $(cat crashed-err.txt)"
    grep -q "crashed/trace.txt:[0-9]*: the trace is cut short here: 4096 zero bytes of padding" crashed-err.txt ||
        fail "no word of the padding: $(cat crashed-err.txt)"
    grep -q "crashed/ObjectLegend.txt: cannot be opened" crashed-err.txt || fail "no word of the missing legend"
    [ -s crashed/report.html ] || fail "no report of the cut trace"
    mkdir empty
    "$report" empty 2>empty-err.txt && fail "report exited 0 with nothing to read"
    grep -q "empty/trace.txt: cannot be opened: No such file or directory" empty-err.txt ||
        fail "no word of the missing trace: $(cat empty-err.txt)"
    grep -q "nothing could be read in empty" empty-err.txt || fail "no word of the empty directory"
    [ -e empty/report.html ] && fail "a report of nothing was written"
    ;;
rewrite-same-files)
    # Rewriting the classes (the default) changes how receivers are found,
    # never a byte of the files: every deterministic program, rewritten and
    # not. The light filter keeps the JDK's class loaders in the trace, so
    # the loader's own resolution of the hook would show if it were not
    # dropped; it leaves out only what the JDK itself does differently while
    # any class-loading hook is on (start-up objects it then builds instead
    # of taking them from its archive, one more name in the loaders' tables)
    # and the JDK's background threads.
    jdk="filter=Ljava/,Ljdk/,Lsun/"
    light="filter=Ljdk/internal/misc/,Ljdk/internal/ref/,Ljava/lang/ref/,Ljava/lang/Thread,Ljava/lang/System,Ljava/lang/Object,Lsun/util/locale/,Ljava/util/concurrent/,Ljava/lang/Integer"
    n=0
    for run in "$jdk|app.Main" "$jdk*activation=Lapp/Dog;fetch;()V|app.Main" \
               "$jdk|app.Recursion 3000" "filter=Ljava/,Ljdk/,Lsun/,Lapp/Dog|app.Main" \
               "$jdk|app.Unloading 300" "$light|app.Main" "$light|app.Recursion 50"; do
        options=${run%%|*}
        program=${run#*|}
        n=$((n + 1))
        # shellcheck disable=SC2086
        traced_in "rewritten$n" "$classes" "$options" $program
        # shellcheck disable=SC2086
        traced_in "fetched$n" "$classes" "$options*mode=norewrite" $program
        same_files_in "fetched$n" "rewritten$n"
        grep -qx "Found option: mode=norewrite" "fetched$n/stdout.txt" || fail "mode=norewrite not echoed"
    done
    same_file "$expected/trace.txt" rewritten1/trace.txt
    grep -q "Ljava/lang/ClassLoader;loadClass" rewritten6/trace.txt || fail "the light filter hid the class loaders"
    if [ -n "${KELMORA_LIBRARY_CLASSPATH:-}" ]; then
        traced_in rewritten-lib "$KELMORA_LIBRARY_CLASSPATH" "$jdk" lib.LibraryWork 5
        traced_in fetched-lib "$KELMORA_LIBRARY_CLASSPATH" "$jdk*mode=norewrite" lib.LibraryWork 5
        same_files_in fetched-lib rewritten-lib
        grep -q "Lcom/google/common/" rewritten-lib/trace.txt || fail "no library method traced"
    fi
    ;;
rewrite-same-threads)
    # Threads interleave differently on every run: the same lines, the same
    # counts and the same legend entries, with and without the rewrite.
    jdk="filter=Ljava/,Ljdk/,Lsun/"
    for run in "$jdk|app.Threads" "$jdk,Lapp/Quiet|app.SharedWork 500" "$jdk|app.Constructions threads"; do
        options=${run%%|*}
        program=${run#*|}
        # shellcheck disable=SC2086
        traced_in "rewritten-${program%% *}" "$classes" "$options" $program
        # shellcheck disable=SC2086
        traced_in "fetched-${program%% *}" "$classes" "$options*mode=norewrite" $program
        program=${program%% *}
        check_balanced_trace "rewritten-$program/trace.txt" "Lapp/"
        unaddressed "rewritten-$program/trace.txt" | sed 's/^ *//' | sort >rewritten-lines.txt
        unaddressed "fetched-$program/trace.txt" | sed 's/^ *//' | sort >fetched-lines.txt
        same_file fetched-lines.txt rewritten-lines.txt
        for legend in MethodLegend.txt ObjectLegend.txt; do
            legend_entries "rewritten-$program/$legend" | unaddressed /dev/stdin | sort >rewritten-entries.txt
            legend_entries "fetched-$program/$legend" | unaddressed /dev/stdin | sort >fetched-entries.txt
            same_file fetched-entries.txt rewritten-entries.txt
        done
    done
    ;;
virtual-threads)
    # Virtual threads move between carrier threads while in a call: every
    # call is still balanced and counted, rewritten or not.
    jdk="filter=Ljava/,Ljdk/,Lsun/"
    "$JAVA" -cp "$classes" app.VirtualWork 0 >/dev/null 2>&1
    if [ $? -eq 3 ]; then
        echo "SKIP [$case_name]: this JDK has no virtual threads"
        exit 77
    fi
    traced_in rewritten "$classes" "$jdk" app.VirtualWork 40
    traced_in fetched "$classes" "$jdk*mode=norewrite" app.VirtualWork 40
    for run in rewritten fetched; do
        grep -qx "virtual threads done" "$run/stdout.txt" || fail "$run: the program did not finish"
        check_balanced_trace "$run/trace.txt" "Lapp/"
        for line in "Lapp/Tally;add(I)V 24000" "Lapp/Tally;addTwice(I)V 8000" \
            "Lapp/VirtualWork\$Pause;now(I)V 8000" "Lapp/Tally;total()J 40"; do
            set -- $line
            got=$(awk -v m="$1" '{ sub(/^ +/, "") } $0 == m { n++ } END { print n + 0 }' "$run/trace.txt")
            [ "$got" -eq "$2" ] || fail "$run: $1: $got entries, not $2"
        done
        grep -q "Warning" "$run/trace.txt" && fail "$run: an exit without its entry"
        [ "$(grep -c "== Lapp/Tally;$" "$run/ObjectLegend.txt")" -eq 40 ] || fail "$run: not 40 tallies"
    done
    ;;
rewrite-redefined)
    # A rewritten class redefined by another agent while it runs keeps the
    # bytes it is given, and the files are still those of mode=norewrite.
    jdk="filter=Ljava/,Ljdk/,Lsun/"
    printf 'Premain-Class: app.Redefining\nCan-Redefine-Classes: true\n' >manifest.txt
    "$(dirname "$JAVA")/jar" cfm redefining.jar manifest.txt -C "$classes" app/Redefining.class ||
        fail "cannot make the agent jar"
    traced_in rewritten "$classes" "$jdk" "-javaagent:$work/redefining.jar" app.Redefining 200
    traced_in fetched "$classes" "$jdk*mode=norewrite" "-javaagent:$work/redefining.jar" app.Redefining 200
    grep -qx "redefined" rewritten/stdout.txt || fail "the class was not redefined: $(head -c 800 rewritten/stderr.txt)"
    same_files_in fetched rewritten
    got=$(grep -c '^ *Lapp/Redefining\$Names;of(Ljava/lang/Object;)Ljava/lang/String;$' rewritten/trace.txt)
    [ "$got" -eq 600 ] || fail "$got calls of Names.of, not 600"
    ;;
rewrite-verified)
    # Nothing filtered, so every class loaded after start-up is rewritten,
    # the JDK's included, and all of them verified: the programs do exactly
    # what they do without the agent.
    # The JDK's compiler compiling one of the test programs: its own classes
    # in the named module jdk.compiler, the JDK's all traced.
    mkdir -p "$work/compiled"
    runs=("$classes|app.Main" "$classes|app.Recursion 50" "$classes|app.Threads"
          "$classes|com.sun.tools.javac.Main -d $work/compiled $(dirname "$expected")/java/app/Counter.java")
    [ -n "${KELMORA_LIBRARY_CLASSPATH:-}" ] && runs+=("$KELMORA_LIBRARY_CLASSPATH|lib.LibraryWork 3")
    n=0
    for run in "${runs[@]}"; do
        path=${run%%|*}
        program=${run#*|}
        n=$((n + 1))
        mkdir -p "plain$n" "traced$n"
        # shellcheck disable=SC2086
        (cd "plain$n" && "$JAVA" -cp "$path" $program >stdout.txt 2>stderr.txt)
        plain_status=$?
        # shellcheck disable=SC2086
        (cd "traced$n" && "$JAVA" -XX:+UnlockDiagnosticVMOptions -XX:+BytecodeVerificationLocal \
            -XX:+BytecodeVerificationRemote -Xlog:class+load=info:file=classes.txt \
            "-agentpath:$agent" -cp "$path" $program >stdout.txt 2>stderr.txt)
        traced_status=$?
        [ "$plain_status" -eq "$traced_status" ] || fail "$program: exit $traced_status traced, $plain_status plain"
        grep -v -e "Kelmora" -e "^Time: " "traced$n/stdout.txt" \
            >"traced$n/program-out.txt"
        same_file "plain$n/stdout.txt" "traced$n/program-out.txt"
        same_file "plain$n/stderr.txt" "traced$n/stderr.txt"
        grep -q "KelmoraHook" "traced$n/trace.txt" "traced$n/MethodLegend.txt" &&
            fail "$program: the hook's class appears in the files"
        ls "traced$n"/hs_err_pid*.log >/dev/null 2>&1 && fail "$program: the JVM crashed"
    done
    ;;
rewrite-modules-loaders)
    # A program on the module path (its classes in a named module), and
    # plug-ins of one name defined by two loaders of the program's own, one
    # of which asks its parent for java.* alone: the files as without the
    # rewrite, the programs' output as untraced.
    jdk="filter=Ljava/,Ljdk/,Lsun/"
    n=0
    for run in "--module-path|$KELMORA_MODULES|-m modapp/modapp.Main 300" "-cp|$classes|app.Loaders 400"; do
        n=$((n + 1))
        IFS='|' read -r pathOption path program <<<"$run"
        # shellcheck disable=SC2086
        (mkdir -p "plain$n" && cd "plain$n" && "$JAVA" "$pathOption" "$path" $program >stdout.txt 2>stderr.txt) ||
            fail "$program: exited with $? untraced"
        for mode in rewritten fetched; do
            options=$jdk
            [ $mode = fetched ] && options="$jdk*mode=norewrite"
            mkdir -p "$mode$n"
            # shellcheck disable=SC2086
            (cd "$mode$n" && "$JAVA" -Xshare:auto "-agentpath:$agent=$options" "$pathOption" "$path" \
                $program >stdout.txt 2>stderr.txt) || fail "$mode $program: exited with $?"
            grep -v -e "Kelmora" -e "^Time: " -e "^Found option" "$mode$n/stdout.txt" >"$mode$n/program-out.txt"
            same_file "plain$n/stdout.txt" "$mode$n/program-out.txt"
        done
        same_files_in "fetched$n" "rewritten$n"
        check_balanced_trace "rewritten$n/trace.txt" "L"
    done
    grep -q "^ *Lmodapp/Main\$Cube;area()D$" rewritten1/trace.txt || fail "the module's calls are not traced"
    [ "$(grep -c " == Lapp/PluginA;$" rewritten2/ObjectLegend.txt)" -eq 4 ] || fail "not 4 plug-ins in the object legend"
    # The JDK's compiler, its classes in the named module jdk.compiler and
    # traced: the same class files, and on JDK 17 the same trace files but
    # for the addresses in its lambdas' names, which differ from run to run.
    # (It iterates maps keyed by identity hashes, and from JDK 20 tagging
    # objects takes their hashes, so there the order follows what the VM
    # hashes on the way; with any class-loading hook on, JDK 25 hashes more
    # while it loads the classes of jdk.compiler.) Both runs in one
    # directory: the order in which it closes directories follows their
    # paths' hashes. Run by its own launcher, which has the JDK bind the
    # definer of lambdas' classes before the VM has started.
    for mode in rewritten fetched; do
        options="$jdk*mode=fetchcounts"
        [ $mode = fetched ] && options="$jdk*mode=norewrite"
        mkdir -p javac
        (cd javac && "$(dirname "$JAVA")/javac" "-J-agentpath:$agent=$options" \
            -d classes "$(dirname "$expected")/java/app/Counter.java" >stdout.txt 2>stderr.txt) ||
            fail "javac $mode: exited with $?"
        mv javac "javac-$mode"
    done
    for reason in not-rewritten constructor-not-rewritten; do
        count=$(sed -n "s/.* $reason=\([0-9]*\).*/\1/p" javac-rewritten/stderr.txt)
        [ -n "$count" ] && [ "$count" -lt 20 ] || fail "javac: $reason=$count (its lambdas not rewritten?)"
    done
    same_file javac-fetched/classes/app/Counter.class javac-rewritten/classes/app/Counter.class
    version=$("$JAVA" -version 2>&1 | sed -n '1s/^[^"]*"\([0-9]*\).*/\1/p')
    if [ "$version" -lt 20 ]; then
        for file in trace.txt MethodLegend.txt ObjectLegend.txt; do
            unaddressed "javac-fetched/$file" >"javac-fetched/$file.unaddressed"
            unaddressed "javac-rewritten/$file" >"javac-rewritten/$file.unaddressed"
            same_file "javac-fetched/$file.unaddressed" "javac-rewritten/$file.unaddressed"
        done
    fi
    grep -q "^ *Lcom/sun/tools/javac/main/Main;compile(" javac-rewritten/trace.txt || fail "javac's calls are not traced"
    ;;
identity-hashes)
    # The identity hash codes a program hands out stay its own: by default
    # as with mode=norewrite, and on JDK 17 as untraced. (JDK 21 and later
    # take the identity hash of every object they tag, rewritten or not.)
    # The same for a program in a named module (whose first rewritten class
    # makes the JDK run code of its own).
    jdk="filter=Ljava/,Ljdk/,Lsun/"
    version=$("$JAVA" -version 2>&1 | sed -n '1s/^[^"]*"\([0-9]*\).*/\1/p')
    n=0
    for run in "-cp|$classes|app.IdentityHashes" "--module-path|$KELMORA_MODULES|-m modapp/modapp.Main 30 hashes"; do
        n=$((n + 1))
        IFS='|' read -r pathOption path program <<<"$run"
        # shellcheck disable=SC2086
        "$JAVA" "$pathOption" "$path" $program >plain.txt 2>&1 || fail "untraced: exited with $?"
        grep " | class " plain.txt >plain$n.txt
        for mode in rewritten fetched; do
            options=$jdk
            [ $mode = fetched ] && options="$jdk*mode=norewrite"
            mkdir -p $mode$n
            # shellcheck disable=SC2086
            (cd $mode$n && "$JAVA" "-agentpath:$agent=$options" "$pathOption" "$path" $program >stdout.txt 2>&1) ||
                fail "$mode $program: exited with $?"
            grep " | class " $mode$n/stdout.txt >$mode$n.txt
            [ -s $mode$n.txt ] || fail "$mode $program: no hash codes printed"
        done
        same_file fetched$n.txt rewritten$n.txt
        [ "$version" = 17 ] && same_file "plain$n.txt" "rewritten$n.txt"
    done
    grep -q "^ *Lapp/IdentityHashes;next(I)I$" rewritten1/trace.txt || fail "the program's calls are not traced"
    grep -q "^ *Lmodapp/Main\$Square;area()D$" rewritten2/trace.txt || fail "the module's calls are not traced"
    # An object let go is collected as untraced: the last receiver handed
    # to the agent is not kept alive by it, the JDK traced or not.
    for options in none "" "$jdk"; do
        rm -rf collected && mkdir collected
        agentOption="-agentpath:$agent=$options"
        [ "$options" = none ] && agentOption="-Dnone"
        (cd collected && "$JAVA" "$agentOption" -cp "$classes" app.Collected >stdout.txt 2>&1) ||
            fail "app.Collected ($options): exited with $?"
        grep -qx "1 collected" collected/stdout.txt || fail "app.Collected ($options): $(grep -v Kelmora collected/stdout.txt)"
    done
    ;;
maven)
    # A build tool whose classes its own class loaders (ClassWorlds realms)
    # load, validating a project of two modules offline: it does what it
    # does untraced, and every call of its classes is whole in the trace.
    if ! command -v mvn >/dev/null; then
        echo "SKIP [$case_name]: mvn is not installed"
        exit 77
    fi
    java_home=$(dirname "$(dirname "$(readlink -f "$JAVA")")")
    mkdir -p project/a project/b repository
    module_pom() {
        printf '<project xmlns="http://maven.apache.org/POM/4.0.0"><modelVersion>4.0.0</modelVersion>%s</project>\n' "$1"
    }
    module_pom '<groupId>demo</groupId><artifactId>parent</artifactId><version>1</version><packaging>pom</packaging><modules><module>a</module><module>b</module></modules>' >project/pom.xml
    for module in a b; do
        module_pom "<parent><groupId>demo</groupId><artifactId>parent</artifactId><version>1</version></parent><artifactId>$module</artifactId>" >project/$module/pom.xml
    done
    maven() { JAVA_HOME=$java_home MAVEN_OPTS="$1" mvn -o -q -B -Dmaven.repo.local="$work/repository" -f "$work/project/pom.xml" validate; }
    maven "" >plain.txt 2>plain-err.txt || fail "untraced: exited with $?"
    mkdir traced
    (cd traced && maven "-agentpath:$agent=filter=Ljava/,Ljdk/,Lsun/*mode=fetchcounts" >stdout.txt 2>stderr.txt) ||
        fail "traced: exited with $?: $(head -c 1500 traced/stderr.txt)"
    # Maven's colour resets may stand in front of the agent's messages.
    program_output() {
        sed -e 's/\x1b\[[0-9;]*m//g' -e 's/Time: [A-Z][a-z][a-z] [A-Z][a-z][a-z] [0-9]* [0-9:]* [0-9]*$//' \
            -e '/Kelmora/d' -e '/^Found option/d' -e '/^$/d' "$1"
    }
    program_output plain.txt >plain-out.txt
    program_output traced/stdout.txt >traced/program-out.txt
    same_file plain-out.txt traced/program-out.txt
    program_output plain-err.txt >plain-err-out.txt
    program_output traced/stderr.txt >traced/program-err.txt
    same_file plain-err-out.txt traced/program-err.txt
    check_balanced_trace traced/trace.txt "Lorg/apache/maven/"
    check_legend traced/MethodLegend.txt
    check_legend traced/ObjectLegend.txt
    grep -q "receivers fetched from the VM: not-rewritten=" traced/stderr.txt || fail "no fetch counts"
    ;;
installed)
    # The agent as `cmake --install` lays it out traces as the built one does.
    "$CMAKE_COMMAND" --install "$KELMORA_BUILD_DIR" --prefix "$work/prefix" >install.txt 2>&1 ||
        fail "cmake --install failed: $(cat install.txt)"
    agent=$work/prefix/lib/libkelmora.so
    [ -f "$agent" ] || fail "no lib/libkelmora.so in the prefix: $(cd "$work/prefix" && find . | head)"
    run_java "filter=Ljava/,Ljdk/,Lsun/" app.Main
    expect_clean_exit
    same_file "$expected/trace.txt" trace.txt
    same_file "$expected/MethodLegend.txt" MethodLegend.txt
    same_file "$expected/ObjectLegend.txt" ObjectLegend.txt
    # The installed report tool reads them.
    installed_report=$work/prefix/bin/kelmora-report
    [ -x "$installed_report" ] || fail "no bin/kelmora-report in the prefix"
    "$installed_report" --collapsed collapsed.txt . 2>report-err.txt || fail "installed report exited with $?"
    same_file "$expected/collapsed.txt" collapsed.txt
    ;;
constructors)
    # Objects made every way a constructor can be reached (app.Constructions
    # says which): the same files with and without the rewrite, the
    # program's output as untraced. The filter hides a subclass of a traced
    # class. A superclass whose constructor is too large to take the hook's
    # call is generated here: 21839 increments behind its super call make
    # its code 65530 bytes long.
    big=$work/big
    mkdir -p "$big"
    {
        printf 'package app;\n\nclass BigRoot extends Constructions.Root {\n'
        printf '    BigRoot() {\n        super("big");\n        int x = 0;\n        int y = 0;\n'
        for ((i = 0; i < 21839; i++)); do echo "        x++;"; done
        printf '        y = x;\n    }\n}\n\nclass OnBig extends BigRoot {\n    OnBig() { super(); }\n}\n\n'
        printf 'public class MakesOnBig {\n    public static Object make() { return new OnBig(); }\n}\n'
    } >"$big/MakesOnBig.java"
    "$(dirname "$JAVA")/javac" --release 17 -cp "$classes" -d "$big" "$big/MakesOnBig.java" ||
        fail "the large class did not compile"
    "$(dirname "$JAVA")/javap" -c -cp "$big" app.BigRoot | grep -q "^ *65529: return" ||
        fail "the large constructor is not 65530 bytes long"
    path="$classes:$big"
    options='filter=Ljava/,Ljdk/,Lsun/,Lapp/Constructions$Hidden'
    native="-Dkelmora.native=$KELMORA_E2E_NATIVE"
    "$JAVA" -cp "$path" "$native" app.Constructions >plain.txt 2>plain-err.txt || fail "untraced: exited with $?"
    grep -qx "big big" plain.txt && grep -qx "jni reflected" plain.txt || fail "a construction did not run: $(cat plain.txt)"
    traced_in rewritten "$path" "$options*mode=fetchcounts" "$native" app.Constructions
    traced_in fetched "$path" "$options*mode=norewrite" "$native" app.Constructions
    same_files_in fetched rewritten
    # Identity hashes as with mode=norewrite, and on JDK 17 as untraced.
    version=$("$JAVA" -version 2>&1 | sed -n '1s/^[^"]*"\([0-9]*\).*/\1/p')
    for mode in rewritten fetched; do
        grep -v -e "Kelmora" -e "^Time: " -e "^Found option" "$mode/stdout.txt" >"$mode/program-out.txt"
        grep -v "^hashes " "$mode/program-out.txt" >"$mode/program-unhashed.txt"
        grep -v "^hashes " plain.txt >plain-unhashed.txt
        same_file plain-unhashed.txt "$mode/program-unhashed.txt"
    done
    same_file fetched/program-out.txt rewritten/program-out.txt
    [ "$version" = 17 ] && same_file plain.txt rewritten/program-out.txt
    check_balanced_trace rewritten/trace.txt "Lapp/"
    grep -q 'Constructions$Hidden' rewritten/trace.txt rewritten/ObjectLegend.txt && fail "the filtered class was traced"
    [ "$(grep -c '^ *Lapp/Constructions$Leaf;<init>()V$' rewritten/trace.txt)" -eq 251 ] ||
        fail "not 251 entries of Leaf()"
    # The 1000 objects of the loop and their 1500 super and this calls
    # fetch nothing: what is fetched is the few made otherwise. From JDK 20,
    # where tagging an object takes its identity hash, an object whose super
    # or this call's argument is made by a call is fetched and tagged before
    # that call (500 of them), and only there.
    counts=$(sed -n 's/.*receivers fetched from the VM: //p' rewritten/stderr.txt | tr ' ' '\n')
    fetches=$(echo "$counts" | awk -F= '$1 != "call-before-super" { total += $2 } END { print total + 0 }')
    [ -n "$counts" ] && [ "$fetches" -lt 40 ] || fail "$fetches receivers fetched: $counts"
    [ "$version" -ge 20 ] || echo "$counts" | grep -qx "call-before-super=0" ||
        fail "fetched before a call where tags take no hashes: $counts"
    ;;
*)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac

if [ "$failures" -ne 0 ]; then
    echo "--- stdout (head)" >&2; head -c 1500 stdout.txt >&2
    echo "--- stderr (head)" >&2; head -c 1500 stderr.txt >&2
    exit 1
fi
echo "PASS [$case_name]"
