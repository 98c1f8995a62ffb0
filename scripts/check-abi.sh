#!/usr/bin/env bash
# Compares the built library's ABI (types, class layouts, vtables, symbols)
# with the committed baseline. usage: check-abi.sh LIBRARY BASELINE
# To accept an intended change: scripts/check-abi.sh --update LIBRARY BASELINE
set -euo pipefail
update=0
if [[ ${1:-} == --update ]]; then update=1; shift; fi
lib=$1 baseline=$2
current=$(mktemp)
trap 'rm -f "$current"' EXIT
# File names only, so a baseline does not depend on where the tree was built.
abidw --no-corpus-path --no-comp-dir-path --short-locs --out-file "$current" "$lib"
if ((update)); then
  cp "$current" "$baseline"
  echo "ABI baseline written to $baseline"
  exit 0
fi
if abidiff --no-added-syms "$baseline" "$current"; then
  echo "$lib: ABI matches $baseline"
else
  status=$?
  echo "$lib: ABI differs from $baseline (abidiff status $status)." >&2
  echo "If the change is intended, refresh the baseline with: scripts/check-abi.sh --update $lib $baseline" >&2
  exit 1
fi
