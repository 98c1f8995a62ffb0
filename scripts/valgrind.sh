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
failed=()
count=0
for t in "$dir"/test_* "$dir"/host_* "$dir"/vtable_host; do
  [[ -x $t && -f $t ]] || continue
  name=$(basename "$t")
  count=$((count + 1))
  start=$SECONDS
  (cd "$dir" && valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
      --errors-for-leak-kinds=definite --show-leak-kinds=definite --track-fds=no \
      --suppressions="$OLDPWD/scripts/valgrind.supp" \
      "./$name" --gtest_filter="$filter" >"$OLDPWD/$logdir/$name.out" 2>"$OLDPWD/$logdir/$name.log")
  rc=$?
  if ((rc != 0)); then
    failed+=("$name")
    echo "valgrind: $name FAILED (exit $rc, $((SECONDS - start)) s); see $logdir/$name.log" >&2
    grep -E '==[0-9]+== (Invalid|Conditional|Syscall|.*definitely lost|ERROR SUMMARY)' "$logdir/$name.log" | head -20 >&2
    grep -E '^\[  FAILED' "$logdir/$name.out" | head -10 >&2
  else
    echo "valgrind: $name clean ($((SECONDS - start)) s)"
  fi
done
if ((count == 0)); then
  echo "valgrind: no test executables in $dir" >&2
  exit 1
fi
if ((${#failed[@]})); then
  echo "valgrind: ${#failed[@]} of $count executables failed: ${failed[*]}" >&2
  exit 1
fi
echo "valgrind: all $count test executables clean"
