#!/usr/bin/env bash
# Every symbol hosts link against must be exported by the built library.
# usage: check-symbols.sh NM LIBRARY LIST
set -euo pipefail
nm=$1 lib=$2 list=$3
exported=$(mktemp)
trap 'rm -f "$exported"' EXIT
"$nm" -D --defined-only "$lib" | awk '{print $NF}' | sort -u >"$exported"
missing=$(grep -v '^#' "$list" | grep -v '^$' | sort -u | comm -23 - "$exported")
if [[ -n $missing ]]; then
  echo "$lib lacks required symbols:"
  while read -r sym; do
    printf '  %s  (%s)\n' "$sym" "$(c++filt "$sym")"
  done <<<"$missing"
  exit 1
fi
echo "$lib exports all $(grep -cv -e '^#' -e '^$' "$list") required symbols"
