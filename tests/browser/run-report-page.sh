#!/usr/bin/env bash
# Writes the page of the deterministic end-to-end trace with kelmora-report
# and checks it in headless Chromium; keeps the screenshot.
# Usage: run-report-page.sh KELMORA_REPORT TRACE_DIR SCREENSHOT
set -u
report=$1
traces=$2
screenshot=$3
here=$(cd "$(dirname "$0")" && pwd)
chromium=${CHROMIUM:-/usr/bin/chromium}

fail() { echo "FAIL [report-page]: $*" >&2; exit 1; }
[ -x "$chromium" ] || fail "no Chromium at $chromium: apt-get install chromium"
command -v node >/dev/null || fail "no node: apt-get install nodejs npm"
[ -d "$here/node_modules/playwright-core" ] ||
    fail "tests/browser/node_modules is missing: run npm ci --prefix tests/browser"

work=$(mktemp -d "${TMPDIR:-/tmp}/kelmora-page.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$traces"/trace.txt "$traces"/MethodLegend.txt "$traces"/ObjectLegend.txt "$work"/
# An exit of a method entered before tracing began, as the agent writes it
# at depth 0: one warning line more.
printf '%s\n' "Warning: Left method that hasn't been entered..." "-Lapp/Late;done()V" >>"$work/trace.txt"

"$report" "$work" || fail "kelmora-report exited with $?"

# The summary as counted from the files themselves.
read -r lines calls methods depth warnings < <(awk '
    /^ *Warning: Left method/ { w++; next }
    { match($0, /^ */); text = substr($0, RLENGTH + 1) }
    text !~ /^-/ { c++; if (!(text in seen)) { seen[text] = 1; m++ } if (RLENGTH > d) d = RLENGTH }
    END { print NR, c, m, d, w + 0 }' "$work/trace.txt")
receivers=$(wc -l <"$work/ObjectLegend.txt")

# The rest follows from the calls that app.Main makes (tests/e2e/java/app).
cat >"$work/expected.json" <<JSON
{
  "summary": { "lines": $lines, "calls": $calls, "methods": $methods, "receivers": $receivers,
               "depth": $depth, "warnings": $warnings, "paths": 56, "open": 0 },
  "outermost": ["app.Main.main(java.lang.String[])", "app.Main.<clinit>()"],
  "unfold": "app.Main.main(java.lang.String[])",
  "unfoldShows": ["app.Counter.<init>(int)", "app.Steps.run()", "app.Dog.fetch()", "app.Main.sum(long,long)"],
  "search": "s17",
  "searchFinds": "app.Steps.s17()",
  "flameFrames": 57,
  "zoomedFrames": 56,
  "mostCalls": 40,
  "mostPaths": 2,
  "receiverClasses": 4
}
JSON
cd "$here" && node report-page.js "$work/report.html" "$screenshot" "$work/expected.json"
