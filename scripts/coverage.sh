#!/usr/bin/env bash
# Coverage of src/ from the counters a run of the coverage build left:
# an HTML report in BUILD/report/ and gcovr's summary (lines, branches).
# Branches that only throw (allocation failure) are left out of the count.
set -euo pipefail
build=${1:-build/coverage}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$build/report"
gcovr --root "$root" --object-directory "$build" --filter "$root/src/" \
  --exclude-throw-branches \
  --html-details "$build/report/index.html" \
  --print-summary
echo "report: $build/report/index.html"
