#!/usr/bin/env bash
# Runs every fuzz target for a fixed time; any crash, leak or UB report fails.
set -euo pipefail
dir=$1
seconds=${2:-10}
shopt -s nullglob
targets=("$dir"/fuzz_*)
if ((${#targets[@]} == 0)); then
  echo "no fuzz targets in $dir" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
run_one() {
  local t=$1 name
  name=$(basename "$t")
  mkdir -p "$work/$name"
  echo "fuzz: $name for ${seconds}s"
  # The library logs every parse; keep the fuzzer's own report only.
  if ! "$t" -max_total_time="$seconds" -timeout=10 -artifact_prefix="$work/$name/" \
        "$work/$name" >"$work/$name.out" 2>"$work/$name.log"; then
    tail -n 60 "$work/$name.log" >&2
    mkdir -p build/fuzz-artifacts
    cp -r "$work/$name"/crash-* "$work/$name"/leak-* "$work/$name"/timeout-* build/fuzz-artifacts/ 2>/dev/null || true
    echo "fuzz: $name FAILED" >&2
    return 1
  fi
  grep -E '^(Done|#[0-9]+ *DONE)' "$work/$name.log" | tail -n 1 || true
}
# Two targets at a time, one per core.
failed=0
running=0
for t in "${targets[@]}"; do
  [[ -x $t && ! -d $t ]] || continue
  if ((running >= 2)); then
    wait -n || failed=1
    running=$((running - 1))
  fi
  run_one "$t" &
  running=$((running + 1))
done
while ((running > 0)); do
  wait -n || failed=1
  running=$((running - 1))
done
((failed == 0)) || exit 1
echo "fuzz: all targets clean"
