#!/bin/sh
# kelmora-report.exe under Wine on the files of a Windows run (CR LF line
# ends): the same collapsed stacks as on Linux, written with CR LF.
# Usage: report-crlf.sh WINE KELMORA_REPORT_EXE EXPECTED_DIR
set -eu
wine=$1
exe=$2
expected=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/kelmora-crlf.XXXXXX")
trap 'rm -rf "$work"' EXIT
for file in trace.txt MethodLegend.txt ObjectLegend.txt; do
    sed 's/$/\r/' "$expected/$file" >"$work/$file"
done
cd "$work"
"$wine" "$exe" --collapsed collapsed.txt . 2>err.txt || { echo "FAIL: exit $?: $(cat err.txt)"; exit 1; }
if grep -qv "wrote" err.txt; then echo "FAIL: problems reported: $(cat err.txt)"; exit 1; fi
if [ "$(grep -c "$(printf '\r')\$" collapsed.txt)" -ne "$(wc -l <collapsed.txt)" ]; then
    echo "FAIL: collapsed.txt lines do not all end in CR LF"
    exit 1
fi
tr -d '\r' <collapsed.txt >lf.txt
if ! diff -u "$expected/collapsed.txt" lf.txt; then echo "FAIL: collapsed stacks differ"; exit 1; fi
echo "ok: the CR LF trace gives the expected collapsed stacks"
