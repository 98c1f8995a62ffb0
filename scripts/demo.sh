#!/usr/bin/env bash
# Runs the built-in demo of the host program against the plug-in built beside
# it (make demo builds both into build/demo).
# usage: demo.sh [BUILD-DIR]
set -euo pipefail
build=${1:-build/demo}
host=$build/tools/kxhost
if [[ ! -x $host ]]; then
  echo "demo: $host is not built; run 'make demo'" >&2
  exit 1
fi
exec "$host" demo --lib "$build/kxSer.so"
