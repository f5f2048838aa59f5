#!/bin/sh
# Fails unless the DLL exports exactly the NAMEs (the names the JVM looks up:
# _Agent_OnLoad@12 and _Agent_OnUnload@4 on 32-bit Windows, Agent_OnLoad and
# Agent_OnUnload on 64-bit) and imports no mingw runtime DLL (the JVM would
# not find one beside the agent).
# Usage: check-dll-exports.sh OBJDUMP DLL NAME...
set -eu
objdump=$1
dll=$2
shift 2

dump=$("$objdump" -p "$dll")

# Names of the export table, from the "[Ordinal/Name Pointer] Table" block.
names=$(printf '%s\n' "$dump" | awk '
    /^\[Ordinal\/Name Pointer\] Table/ { inTable = 1; next }
    inTable && /^[[:space:]]*$/ { inTable = 0 }
    inTable { sub(/^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]*/, ""); print }' | sort)
expected=$(printf '%s\n' "$@" | sort)
# Entries of the export address table, named or not.
entries=$(printf '%s\n' "$dump" | grep -c '+base\[' || true)
imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p')

status=0
if [ "$names" != "$expected" ]; then
    echo "FAIL: $dll exports the names:"
    printf '  %s\n' $names
    echo "expected exactly:"
    printf '  %s\n' $expected
    status=1
fi
if [ "$entries" != $# ]; then
    echo "FAIL: $dll has $entries entries in its export address table, expected $#"
    status=1
fi
for name in $imports; do
    case $name in
    lib*.dll | LIB*.DLL)
        echo "FAIL: $dll needs $name at run time (link it statically)"
        status=1
        ;;
    esac
done
if [ $status -eq 0 ]; then
    echo "ok: $dll exports exactly" $expected "and imports only" $imports
fi
exit $status
