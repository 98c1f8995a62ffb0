#!/usr/bin/env bash
# Runs every benchmark of the native build (short runs; the log goes nowhere).
set -euo pipefail
dir=build/native/bench
shopt -s nullglob
for b in "$dir"/bench_*; do
  [[ -x $b && ! -d $b ]] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time="${BENCH_MIN_TIME:-0.2}" "$@"
done
