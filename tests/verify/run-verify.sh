#!/usr/bin/env bash
# Runs the rewrite verifier on one set of classes with verification forced on.
# Usage: run-verify.sh hand|jdk|jars   with JAVA, KELMORA_BRIDGE,
# KELMORA_MAKE_HAND_CLASSES and KELMORA_VERIFY_CLASSPATH set by CTest.
set -euo pipefail
: "${JAVA:=java}"
run() {
    # shellcheck disable=SC2086
    "$JAVA" ${JVM_OPTIONS:-} -Xshare:off -XX:+UnlockDiagnosticVMOptions -XX:+BytecodeVerificationLocal -XX:+BytecodeVerificationRemote \
        -Xmx3g -Dkelmora.bridge="$KELMORA_BRIDGE" -cp "$KELMORA_VERIFY_CLASSPATH" \
        verify.VerifyRewrites "$@"
}
case $1 in
hand)
    work=$(mktemp -d "${TMPDIR:-/tmp}/kelmora-hand.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    "$KELMORA_MAKE_HAND_CLASSES" "$work"
    run --dir "$work" "$work/expected.txt"
    ;;
jdk) JVM_OPTIONS='--add-modules ALL-SYSTEM' run --jrt ;;
jars) run --jars /usr/share/java ;;
*) echo "unknown set $1" >&2; exit 2 ;;
esac
