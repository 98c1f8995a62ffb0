#!/usr/bin/env bash
# Runs every native test executable once under valgrind memcheck; any error
# or definite leak fails. Child processes (socat, kxhost) are not traced.
set -uo pipefail
dir=build/native/tests
logdir=build/valgrind
mkdir -p "$logdir"
# Two cases wait by design (three 5-second connect waits; a vanished peer
# noticed after about 20 s); under valgrind they only repeat what the other
# suites prove, at several times the cost.
filter='-SerNetTcp.PeerThatNeverAnswersFailsAfterThreeWaits:SerNetTcp.VanishedPeerIsNoticedAndReconnects'
# The fault sweep's runs are forked children, each checked by valgrind
# too (an error there fails its run); every fourth case is enough here.
export KXSER_SWEEP_STRIDE=4
# Two executables at a time: most of their time is spent waiting on peers
# and lines, so the two cores stay busy without slowing either down much.
check() {
  local name=$1 start=$SECONDS rc
  (cd "$dir" && valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
      --errors-for-leak-kinds=definite --show-leak-kinds=definite --track-fds=no \
      --suppressions="$OLDPWD/scripts/valgrind.supp" \
      "./$name" --gtest_filter="$filter" >"$OLDPWD/$logdir/$name.out" 2>"$OLDPWD/$logdir/$name.log")
  rc=$?
  if ((rc != 0)); then
    echo "valgrind: $name FAILED (exit $rc, $((SECONDS - start)) s); see $logdir/$name.log" >&2
    grep -E '==[0-9]+== (Invalid|Conditional|Syscall|.*definitely lost|ERROR SUMMARY)' "$logdir/$name.log" | head -20 >&2
    grep -E '^\[  FAILED' "$logdir/$name.out" | head -10 >&2
    return 1
  fi
  echo "valgrind: $name clean ($((SECONDS - start)) s)"
}
declare -A pids=()
failed=()
count=0
reap() {
  local pid=$1
  wait "$pid" || failed+=("${pids[$pid]}")
  unset "pids[$pid]"
}
for t in "$dir"/test_* "$dir"/host_* "$dir"/vtable_host; do
  [[ -x $t && -f $t ]] || continue
  name=$(basename "$t")
  count=$((count + 1))
  if ((${#pids[@]} >= 2)); then
    wait -n -p done_pid "${!pids[@]}"
    rc=$?
    ((rc != 0)) && failed+=("${pids[$done_pid]}")
    unset "pids[$done_pid]"
  fi
  check "$name" &
  pids[$!]=$name
done
for pid in "${!pids[@]}"; do reap "$pid"; done
if ((count == 0)); then
  echo "valgrind: no test executables in $dir" >&2
  exit 1
fi
if ((${#failed[@]})); then
  echo "valgrind: ${#failed[@]} of $count executables failed: ${failed[*]}" >&2
  exit 1
fi
echo "valgrind: all $count test executables clean"
