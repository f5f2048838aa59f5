#!/bin/sh
# Starts or stops the one persistent wineserver of the 64-bit Windows suite.
# Usage: wine-server.sh start|stop, with WINE (wine64), WINESERVER and
# WINEPREFIX set.
# Start makes the prefix (the first time), then boots it with no output:
# the prefix's own processes (services.exe and the like) live as long as the
# server, and started by a test's first program they would hold that test's
# output open, so that CTest would wait for them.
set -u
case ${1:-} in
start)
    # The server works in the prefix's folder, which Wine fills in later.
    mkdir -p "$WINEPREFIX" || exit 1
    log=$WINEPREFIX/../wine-server.log
    if ! "$WINESERVER" -p </dev/null >"$log" 2>&1 ||
        ! "$WINE" wineboot --init </dev/null >>"$log" 2>&1; then
        cat "$log" >&2
        exit 1
    fi
    ;;
stop)
    # Ends the server and every process of the prefix; none may be left.
    "$WINESERVER" -k 2>/dev/null
    exit 0
    ;;
*)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
