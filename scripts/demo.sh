#!/usr/bin/env bash
# Runs the built-in demo of the host program against the freshly built plug-in.
set -euo pipefail
host=build/native/tools/kxhost
if [[ ! -x $host ]]; then
  echo "demo: $host is not built; run 'make build-native' first" >&2
  exit 1
fi
exec "$host" demo --lib build/native/kxSer.so
