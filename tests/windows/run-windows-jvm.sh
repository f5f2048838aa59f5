#!/usr/bin/env bash
# Runs one end-to-end case on a real 64-bit Windows JVM under wine64: java.exe
# loads kelmora.dll in a fresh working directory, then the files (CR LF line
# ends) and the console output are checked.
# Usage: run-windows-jvm.sh CASE, with WINE (wine64), WINESERVER, WINEPREFIX,
# KELMORA_JAVA_EXE, KELMORA_AGENT, KELMORA_REPORT, KELMORA_CLASSES,
# KELMORA_EXPECTED, KELMORA_CRASH_HELPER, KELMORA_HOLD_FILE and, where the
# libraries are installed, KELMORA_LIBRARY_CLASSPATH set by CTest.
set -u
case_name=$1
here=$(cd "$(dirname "$0")" && pwd)
java=$KELMORA_JAVA_EXE
agent=$KELMORA_AGENT
expected=$KELMORA_EXPECTED
if [ ! -f "$java" ]; then
    echo "FAIL [$case_name]: no Windows JVM at $java: scripts/setup.sh test installs it" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kelmora-winjvm.XXXXXX")
background=
finish() {
    [ -n "$background" ] && kill -KILL $background 2>/dev/null
    rm -rf "$work"
}
trap finish EXIT
cd "$work" || exit 1

failures=0
fail() {
    echo "FAIL [$case_name]: $*" >&2
    failures=$((failures + 1))
}

# The Windows form of a Unix path: Wine's drive Z: is the root.
winpath() { printf 'Z:%s' "${1//\//\\}"; }
classes=$(winpath "$KELMORA_CLASSES")
jdk="filter=Ljava/,Ljdk/,Lsun/"

# run_java OPTIONS ARGS...: java.exe with the agent in the current directory;
# stdout.txt (line ends as the JVM wrote them), out.txt (without CR),
# stderr.txt and $status.
run_java() {
    local options=$1
    shift
    local agent_arg="-agentpath:$agent"
    [ -n "$options" ] && agent_arg="$agent_arg=$options"
    "$WINE" "$java" "$agent_arg" -cp "$classes" "$@" >stdout.txt 2>stderr.txt
    status=$?
    tr -d '\r' <stdout.txt >out.txt
}

expect_clean_exit() {
    [ "$status" -eq 0 ] || fail "java.exe exited with $status; stderr: $(head -c 2000 stderr.txt)"
    if ls hs_err_pid*.log >/dev/null 2>&1; then
        fail "the JVM crashed: $(head -20 hs_err_pid*.log)"
    fi
    grep -q "Kelmora-Logging exited cleanly." out.txt || fail "no closing message"
}

same_file() {
    if [ ! -f "$2" ]; then
        fail "$2 is missing"
    elif ! cmp -s "$1" "$2"; then
        diff -u "$1" "$2" | head -40 >diff.txt
        fail "$2 differs from $1: $(cat diff.txt)"
    fi
}

# same_as_expected DIR: the three files in DIR are the expected ones with
# CR LF line ends, byte for byte.
same_as_expected() {
    local file
    for file in trace.txt MethodLegend.txt ObjectLegend.txt; do
        sed 's/$/\r/' "$expected/$file" >"expected-$file"
        same_file "expected-$file" "$1/$file"
    done
}

same_files_in() {
    local file
    for file in trace.txt MethodLegend.txt ObjectLegend.txt; do
        same_file "$1/$file" "$2/$file"
    done
    if [ -e "$1/errorLog.txt" ] || [ -e "$2/errorLog.txt" ]; then
        same_file "$1/errorLog.txt" "$2/errorLog.txt"
    fi
}

# jvm-checks.py CHECK ARGS..., failing with what it said.
check() {
    local said
    said=$(python3 "$here/jvm-checks.py" "$@" 2>&1) || fail "$said"
}

# traced_in DIR OPTIONS ARGS...: run_java in DIR, which must exit 0.
traced_in() {
    local dir=$1 options=$2
    shift 2
    mkdir -p "$dir"
    (cd "$dir" && run_java "$options" "$@" && exit $status)
    status=$?
    [ "$status" -eq 0 ] || fail "$dir: java.exe exited with $status: $(head -c 1500 "$dir/stderr.txt")"
}

# start_dying CALLS: win.Dying in the background (output in dying-out.txt
# and dying-err.txt), waiting until it has made its calls; sets $background
# (the wine64 process) and $winpid (its Windows process id).
start_dying() {
    "$WINE" "$java" "-agentpath:$agent=$jdk" -cp "$classes" win.Dying wait "$1" \
        >dying-out.txt 2>dying-err.txt &
    background=$!
    local _
    for _ in $(seq 1 1200); do
        grep -q "^made $1 calls" dying-out.txt && break
        kill -0 $background 2>/dev/null || break
        sleep 0.1
    done
    winpid=$(tr -d '\r' <dying-out.txt | sed -n "s/^made $1 calls in process \([0-9]*\)$/\1/p")
    [ -n "$winpid" ] || fail "the program did not say it made its calls: $(head -c 500 dying-err.txt)"
}

# Waits for the background JVM to end; sets $status.
end_dying() {
    wait $background 2>/dev/null
    status=$?
    background=
    grep -q "Kelmora-Logging exited cleanly." dying-out.txt && fail "unload ran: nothing was tested"
}

check_dying_files() { # CALLS [fault]
    check survived trace.txt trace "$@"
    check survived MethodLegend.txt methods "$@"
    check survived ObjectLegend.txt objects "$@"
}

case $case_name in
deterministic)
    # A known program with the JDK filtered out gives the files it gives on
    # Linux, with CR LF line ends; the old files are replaced or deleted.
    printf 'stale\r\n' >trace.txt
    printf '[ERROR] JVMTI: 1 (old): old\r\n' >errorLog.txt
    run_java "$jdk" app.Main
    expect_clean_exit
    same_as_expected .
    [ -e errorLog.txt ] && fail "the old error log was not deleted (or new errors): $(cat errorLog.txt)"
    grep -qx "Found option: $jdk" out.txt || fail "option not echoed"
    ;;
options)
    # Options echoed in order; keywords in any case; activation gate open
    # from the start, so everything is traced as without it.
    run_java "*FILTER=Ljava/,Ljdk/,Lsun/**mode=ignored*activation=Lapp/Dog;fetch;()V*" app.Main
    expect_clean_exit
    printf 'Found option: FILTER=Ljava/,Ljdk/,Lsun/\nFound option: mode=ignored\nFound option: activation=Lapp/Dog;fetch;()V\n' >want.txt
    head -3 out.txt >got.txt
    same_file want.txt got.txt
    same_as_expected .
    ;;
no-options)
    # Without options the JDK's own methods are traced too.
    run_java "" app.Main
    expect_clean_exit
    grep -q "^ *Ljava/lang/" trace.txt || fail "no JDK method traced"
    grep -q "^ *Lapp/Main;main(\[Ljava/lang/String;)V"$'\r'"$" trace.txt || fail "main not traced"
    grep -q "Found option" out.txt && fail "an option was echoed"
    check legend MethodLegend.txt
    check legend ObjectLegend.txt
    ;;
threads)
    run_java "$jdk" app.Threads
    expect_clean_exit
    check balanced trace.txt "Lapp/"
    [ "$(grep -c '^ *Lapp/Worker;step(I)I'$'\r''$' trace.txt)" -eq 8000 ] || fail "not 8000 step entries"
    check legend MethodLegend.txt
    check legend ObjectLegend.txt
    ;;
busy-return | busy-exit)
    # Threads still busy while the JVM shuts down, repeated to catch a race.
    mode=${case_name#busy-}
    for round in $(seq 1 10); do
        rm -f trace.txt MethodLegend.txt ObjectLegend.txt
        run_java "$jdk" app.BusyExit "$mode"
        expect_clean_exit
        check legend MethodLegend.txt
        check legend ObjectLegend.txt
        grep -q "run:<()V>:<(null)>" MethodLegend.txt || fail "round $round: legend incomplete"
        [ "$failures" -eq 0 ] || break
    done
    ;;
recursion)
    run_java "$jdk" app.Recursion 3000
    expect_clean_exit
    check balanced trace.txt "Lapp/"
    depth=$(grep "Lapp/Recursion;down(I)I" trace.txt | awk '{ print match($0, /[^ ]/) - 1 }' | sort -n | tail -1)
    [ "$depth" = 3002 ] || fail "deepest line indented by $depth, not 3002"
    ;;
shared-work)
    # Instance methods on four threads at once, on receivers shared between
    # them and of their own; the quiet subclass's receivers are filtered.
    run_java "$jdk,Lapp/Quiet" app.SharedWork 3000
    expect_clean_exit
    check balanced trace.txt "Lapp/"
    check legend MethodLegend.txt
    check legend ObjectLegend.txt
    [ "$(grep -c '^ *Lapp/Tally;add(I)V'$'\r''$' trace.txt)" -eq 36000 ] || fail "not 36000 add entries"
    [ "$(grep -c ' == Lapp/Tally;'$'\r''$' ObjectLegend.txt)" -eq 5 ] || fail "not 5 tallies in the object legend"
    grep -q "Quiet" ObjectLegend.txt trace.txt && fail "the filtered subclass was traced"
    ;;
unloading)
    # Classes of a dropped class loader (its URL a Windows path) are unloaded
    # and loaded again.
    run_java "$jdk" app.Unloading 2000
    expect_clean_exit
    check balanced trace.txt "Lapp/"
    check legend MethodLegend.txt
    for line in "Lapp/PluginA;applyAsInt(I)I 4000" "Lapp/PluginB;thrice(I)I 2000" "Lapp/PluginA;<init>()V 2"; do
        set -- $line
        got=$(tr -d '\r' <trace.txt | awk -v m="$1" '{ sub(/^ +/, "") } $0 == m { n++ } END { print n + 0 }')
        [ "$got" -eq "$2" ] || fail "$1: $got entries, not $2"
    done
    ;;
unwritable-trace)
    # trace.txt cannot be created: the trace goes to standard output.
    mkdir trace.txt
    run_java "$jdk" app.Main
    expect_clean_exit
    grep -q "^ Lapp/Main;main(\[Ljava/lang/String;)V$" out.txt || fail "trace not on standard output"
    grep -q "cannot create Z:.*\\\\trace.txt (.\+); the trace goes to standard output" stderr.txt ||
        fail "no word of the unwritable trace file: $(cat stderr.txt)"
    sed 's/$/\r/' "$expected/MethodLegend.txt" >want.txt
    same_file want.txt MethodLegend.txt
    ;;
report)
    # kelmora-report.exe on the files the Windows JVM wrote.
    run_java "$jdk" app.Main
    expect_clean_exit
    "$WINE" "$KELMORA_REPORT" --collapsed collapsed.txt --html page.html . 2>report-err.txt ||
        fail "report exited with $?: $(cat report-err.txt)"
    sed 's/$/\r/' "$expected/collapsed.txt" >want.txt
    same_file want.txt collapsed.txt
    grep -q "wrote page.html: 270 lines, 135 calls on 56 call paths" report-err.txt ||
        fail "report said: $(cat report-err.txt)"
    [ "$(grep -vc "wrote page.html" report-err.txt)" -eq 0 ] || fail "problems reported: $(cat report-err.txt)"
    ;;
rewrite-same-files)
    # Rewriting the classes (the default) never changes a byte of the files:
    # each deterministic program with and without mode=norewrite.
    n=0
    runs=("$jdk|app.Main" "$jdk*activation=Lapp/Dog;fetch;()V|app.Main" "$jdk|app.Recursion 300"
        "$jdk,Lapp/Dog|app.Main" "$jdk|app.Unloading 300")
    for run in "${runs[@]}"; do
        options=${run%%|*}
        program=${run#*|}
        n=$((n + 1))
        # shellcheck disable=SC2086
        traced_in "rewritten$n" "$options" $program
        # shellcheck disable=SC2086
        traced_in "fetched$n" "$options*mode=norewrite" $program
        same_files_in "fetched$n" "rewritten$n"
    done
    same_as_expected rewritten1
    # And the classes are rewritten there: no receiver is read from a frame.
    traced_in counted "$jdk*mode=fetchcounts" app.Main
    grep -q "receivers fetched from the VM: not-rewritten=0 writes-local-0=0 constructor-caller=0 constructor-not-rewritten=0 " \
        counted/stderr.txt || fail "receivers read from frames: $(grep fetched counted/stderr.txt)"
    if [ -n "${KELMORA_LIBRARY_CLASSPATH:-}" ]; then
        # A program working inside Guava and Commons Lang 3.
        classes=$KELMORA_LIBRARY_CLASSPATH
        traced_in rewritten-lib "$jdk" lib.LibraryWork 5
        traced_in fetched-lib "$jdk*mode=norewrite" lib.LibraryWork 5
        same_files_in fetched-lib rewritten-lib
        grep -q "Lcom/google/common/" rewritten-lib/trace.txt || fail "no library method traced"
    fi
    ;;
rewrite-verified)
    # Nothing filtered, so every class loaded after start-up is rewritten,
    # the JDK's included, and verified: the programs print and exit exactly
    # as without the agent.
    n=0
    for program in "app.Main" "app.Recursion 50" "app.Threads"; do
        n=$((n + 1))
        mkdir -p "plain$n" "traced$n"
        # shellcheck disable=SC2086
        (cd "plain$n" && "$WINE" "$java" -cp "$classes" $program >stdout.txt 2>stderr.txt)
        plain_status=$?
        # shellcheck disable=SC2086
        (cd "traced$n" && "$WINE" "$java" -XX:+UnlockDiagnosticVMOptions -XX:+BytecodeVerificationLocal \
            -XX:+BytecodeVerificationRemote "-agentpath:$agent" -cp "$classes" $program >stdout.txt 2>stderr.txt)
        traced_status=$?
        [ "$plain_status" -eq "$traced_status" ] || fail "$program: exit $traced_status traced, $plain_status plain"
        grep -v -e "Kelmora" -e "^Time: " "traced$n/stdout.txt" >"traced$n/program-out.txt"
        same_file "plain$n/stdout.txt" "traced$n/program-out.txt"
        same_file "plain$n/stderr.txt" "traced$n/stderr.txt"
        grep -q -e "kelmora" -e "KelmoraHook" "traced$n/trace.txt" "traced$n/MethodLegend.txt" "traced$n/ObjectLegend.txt" &&
            fail "$program: the agent's own code appears in the files"
    done
    ;;
crash-native)
    # A fault in a JNI library: the JVM dies in its crash handler, no unload;
    # every line recorded is in the files.
    calls=1000
    run_java "$jdk" -XX:-CreateCoredumpOnCrash "-XX:ErrorFile=$(winpath "$work")\\hs_err.log" \
        win.Dying fault $calls "$(winpath "$KELMORA_CRASH_HELPER")"
    [ "$status" -ne 0 ] || fail "the JVM did not crash"
    grep -q "EXCEPTION_ACCESS_VIOLATION" hs_err.log 2>/dev/null ||
        fail "no crash report from the JVM; stdout: $(head -c 500 out.txt)"
    grep -q "Kelmora-Logging exited cleanly." out.txt && fail "unload ran: nothing was tested"
    check_dying_files $calls fault
    ;;
crash-terminate)
    # Ended by TerminateProcess (taskkill /F) once the program made its calls;
    # enough calls to grow the trace and the object legend past their first
    # step.
    calls=60000
    start_dying $calls
    "$WINE" taskkill /F /PID "$winpid" >taskkill.txt 2>&1 || fail "taskkill: $(cat taskkill.txt)"
    end_dying
    check_dying_files $calls
    ;;
crash-kill)
    # SIGKILL to the Unix process that runs java.exe.
    calls=60000
    start_dying $calls
    kill -KILL $background
    end_dying
    [ "$status" -eq 137 ] || fail "java.exe ended with $status, not by SIGKILL"
    check_dying_files $calls
    ;;
crash-wineserver-kill)
    # wineserver -k ends every process of the prefix (this case runs alone),
    # then a persistent server is started again for the cases after it.
    calls=60000
    start_dying $calls
    "$WINESERVER" -k
    end_dying
    sh "$here/wine-server.sh" start || fail "cannot start wineserver again"
    check_dying_files $calls
    ;;
working-directories)
    # The working directory as a Unix path (Wine maps it to Z:) and as a
    # Windows path on drive C:, both with blanks and letters beyond ASCII,
    # Greek ones outside the ANSI code page among them.
    unix_dir="$work/Grüße und Ωμέγα"
    mkdir -p "$unix_dir"
    (cd "$unix_dir" && run_java "$jdk" app.Main && exit $status)
    status=$?
    [ "$status" -eq 0 ] || fail "in $unix_dir: java.exe exited with $status: $(cat "$unix_dir/stderr.txt")"
    same_as_expected "$unix_dir"
    [ -s "$unix_dir/stderr.txt" ] && fail "complaints in $unix_dir: $(cat "$unix_dir/stderr.txt")"

    name="Kelmora Ωμέγα $(basename "$work")"
    c_dir="$WINEPREFIX/drive_c/users/Public/$name"
    mkdir -p "$c_dir"
    "$WINE" cmd /c cd /d "C:\\users\\Public\\$name" "&&" "$(winpath "$java")" \
        "-agentpath:$(winpath "$agent")=$jdk" -cp "$classes" app.Main >stdout.txt 2>stderr.txt
    status=$?
    tr -d '\r' <stdout.txt >out.txt
    expect_clean_exit
    same_as_expected "$c_dir"
    [ -s stderr.txt ] && fail "complaints: $(cat stderr.txt)"
    rm -rf "$c_dir"
    ;;
agent-paths)
    # kelmora.dll in a folder with blanks and letters beyond ASCII, given as
    # a Unix path and as a Windows path. (The java.exe launcher reads its
    # arguments in the ANSI code page: letters outside it cannot reach the
    # JVM in an argument.)
    mkdir -p "$work/Agent Grüße"
    cp "$agent" "$work/Agent Grüße/kelmora ä.dll"
    for agent in "$work/Agent Grüße/kelmora ä.dll" "$(winpath "$work")\\Agent Grüße\\kelmora ä.dll"; do
        rm -f trace.txt MethodLegend.txt ObjectLegend.txt
        run_java "$jdk" app.Main
        expect_clean_exit
        same_as_expected .
    done
    ;;
long-options)
    # An option text that takes the command line to within 100 characters of
    # Windows' limit (32,767) is read whole: the same files as the short one.
    short="$jdk,Lapp/Dog"
    traced_in short "$short" app.Main
    long=$short
    i=0
    # java.exe, the agent argument's own text, -cp and the class path, the
    # class, and the blanks between them.
    others=$(($(printf '%s' "$(winpath "$java") -agentpath:$agent= -cp $classes app.Main" | wc -c) + 2))
    while [ $((${#long} + others)) -lt 32667 ]; do
        long="$long,Lno/such/package$i/"
        i=$((i + 1))
    done
    traced_in long "$long" app.Main
    same_files_in short long
    grep -qxF "Found option: $long" long/out.txt || fail "the long option was not echoed whole"
    echo "option of ${#long} characters, command line of about $((${#long} + others))"
    ;;
held-trace)
    # trace.txt held open, shared with no one, by another program: the
    # agent says so, the trace goes to standard output, the held file is
    # left as it was and the JVM runs on.
    printf 'earlier trace\r\n' >trace.txt
    cp trace.txt earlier.txt
    "$WINE" "$KELMORA_HOLD_FILE" trace.txt release >hold.txt 2>&1 &
    background=$!
    for _ in $(seq 1 300); do
        grep -q held hold.txt && break
        sleep 0.1
    done
    grep -q held hold.txt || fail "the file was not held: $(cat hold.txt)"
    run_java "$jdk" app.Main
    touch release
    wait $background
    background=
    expect_clean_exit
    grep -q "cannot create Z:.*\\\\trace.txt (.\+); the trace goes to standard output" stderr.txt ||
        fail "no word of the held trace file: $(cat stderr.txt)"
    same_file earlier.txt trace.txt
    grep -c "Lapp/" out.txt >count.txt
    [ "$(cat count.txt)" -eq "$(grep -c "Lapp/" "$expected/trace.txt")" ] || fail "not every line on standard output"
    for file in MethodLegend.txt ObjectLegend.txt; do
        sed 's/$/\r/' "$expected/$file" >want.txt
        same_file want.txt $file
    done

    # A traced JVM still running in the directory holds its files mapped,
    # and Windows refuses to replace a mapped file: a second JVM started
    # there says so, writes its trace to standard output, and the first
    # one's files lose nothing.
    mkdir running && cd running || exit 1
    calls=60000
    start_dying $calls
    run_java "$jdk" app.Main
    expect_clean_exit
    for file in trace.txt ObjectLegend.txt MethodLegend.txt; do
        grep -q "cannot create Z:.*\\\\$file (.\+)" stderr.txt || fail "no word of the mapped $file: $(cat stderr.txt)"
    done
    grep -q "^ Lapp/Main;main(\[Ljava/lang/String;)V$" out.txt || fail "trace not on standard output"
    "$WINE" taskkill /F /PID "$winpid" >taskkill.txt 2>&1 || fail "taskkill: $(cat taskkill.txt)"
    end_dying
    check_dying_files $calls
    ;;
*)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac

if [ "$failures" -ne 0 ]; then
    echo "--- stdout (head)" >&2; head -c 1500 out.txt >&2
    echo "--- stderr (head)" >&2; head -c 1500 stderr.txt >&2
    exit 1
fi
echo "PASS [$case_name]"
