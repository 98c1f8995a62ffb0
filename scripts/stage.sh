#!/usr/bin/env bash
# Runs one stage of make test and notes its wall time in build/stages.txt;
# --report prints the stages so far and the run's wall time (stages that
# ran side by side overlap, so their sum exceeds it). A failed stage prints
# the report too, so a slow or failing run shows where its time went.
# usage: stage.sh --reset | stage.sh NAME COMMAND... | stage.sh --report
set -uo pipefail
log=${KXSER_STAGES:-build/stages.txt}
report() {
  echo "make test stages (wall time; those side by side overlap):"
  awk -v now="$(date +%s)" 'NR == 1 { start = $2; next }
       { printf "  %-32s %5d s%s\n", $1, $2, $3 == "" ? "" : "  " $3 }
       END { printf "  %-32s %5d s\n", "whole run", now - start }' "$log"
}
case ${1:-} in
  --reset) mkdir -p "${log%/*}"; echo "start $(date +%s)" >"$log"; exit 0 ;;
  --report) [[ -s $log ]] && report; exit 0 ;;
esac
name=$1; shift
[[ -s $log ]] || { mkdir -p "${log%/*}"; echo "start $(date +%s)" >"$log"; }
start=$(date +%s)
"$@"; rc=$?
echo "$name $(($(date +%s) - start))$( ((rc)) && echo " FAILED")" >>"$log"
((rc == 0)) || report >&2
exit $rc
