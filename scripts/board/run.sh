#!/usr/bin/env bash
# make test-board: boots QEMU's virt board (Cortex-A15, 2 CPUs, 512 MiB) on
# Debian's armmp kernel and runs the armhf build inside it (scripts/board/init).
# The kernel console and the results come on a virtio console; the board's
# PL011 UART is wired to a peer process here (tests/board/uart_peer.cpp).
#
#   scripts/board/run.sh [ARMHF_BUILD_DIR]
#
# BOARD_LIMIT (seconds, default 240) bounds the run from QEMU's start.
# Fails on a failed test, a kernel panic, a board that stopped without its
# results, or a run past the limit, showing the console's last lines.
set -uo pipefail
cd "$(dirname "$0")/../.."
armhf=${1:-build/armhf}
out=build/board
limit=${BOARD_LIMIT:-240}

scripts/board/image.sh "$armhf" || exit 1

peer=$out/uart-peer
if [[ ! -x $peer || tests/board/uart_peer.cpp -nt $peer || tests/board/uart_frame.h -nt $peer ]]; then
  g++ -std=c++17 -O2 -Wall -Wextra -Werror -o "$peer" tests/board/uart_peer.cpp || exit 1
fi

sock=$out/uart.sock
console=$out/console.log
rm -f "$sock"
"$peer" --listen "$sock" --limit $((limit + 60)) 2>"$out/uart-peer.log" &
peer_pid=$!
for _ in $(seq 100); do
  [[ -S $sock ]] && break
  sleep 0.05
done
[[ -S $sock ]] || { echo "board: the UART peer did not start (see $out/uart-peer.log)" >&2; exit 1; }

last_lines() {
  echo "board: last lines of the console ($console):" >&2
  tail -n 40 "$console" | sed 's/^/  > /' >&2
}

echo "board: booting qemu-system-arm -M virt -cpu cortex-a15 -smp 2 -m 512 (limit ${limit} s)"
start=$(date +%s.%N)
first=""
: >"$console"
# The console goes through a pipe: no terminal is taken over. Lines are
# taken as they come (no buffering tool between), CR dropped.
timeout -k 10 "$limit" qemu-system-arm -M virt -cpu cortex-a15 -smp 2 -m 512 \
  -nodefaults -display none -no-reboot \
  -kernel "$out/vmlinuz" -initrd "$out/initramfs.cpio" \
  -append "console=hvc0 quiet panic=-1" \
  -device virtio-serial-device -chardev stdio,id=con,signal=off -device virtconsole,chardev=con \
  -chardev socket,id=uart,path="$sock" -serial chardev:uart \
  </dev/null 2>"$out/qemu.log" | while IFS= read -r line; do
  line=${line%$'\r'}
  echo "$line" >>"$console"
  if [[ -z $first && $line == "board: up at "* ]]; then
    first=1
    echo "$line; $(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s after QEMU started"
  else
    echo "$line"
  fi
done
rc=${PIPESTATUS[0]}
took=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.0f", b - a }')
# The peer ends when QEMU closes the line; it never outlives the run.
for _ in $(seq 20); do
  kill -0 "$peer_pid" 2>/dev/null || break
  sleep 0.1
done
kill "$peer_pid" 2>/dev/null
wait "$peer_pid" 2>/dev/null

summary=$(grep -E '^board: [0-9]+ passed, [0-9]+ failed' "$console" | tail -1)
status=$(sed -n 's/^board: exit status \([0-9]*\)$/\1/p' "$console" | tail -1)
if ((rc == 124 || rc == 137)); then
  echo "board: FAILED: the run passed its limit of $limit s" >&2
  last_lines
  exit 1
fi
if grep -q 'Kernel panic' "$console"; then
  echo "board: FAILED: kernel panic:" >&2
  grep -B 12 -A 8 -m 1 'Kernel panic' "$console" | sed 's/^/  > /' >&2
  exit 1
fi
if ((rc != 0)); then
  echo "board: FAILED: qemu-system-arm exited with status $rc:" >&2
  sed 's/^/  > /' "$out/qemu.log" >&2
  last_lines
  exit 1
fi
if [[ -z $summary || -z $status ]]; then
  echo "board: FAILED: the board stopped after $took s without reporting its results" \
    "(a kernel panic before the console came up shows nothing here)" >&2
  [[ -s $out/qemu.log ]] && sed 's/^/  > /' "$out/qemu.log" >&2
  last_lines
  exit 1
fi
if [[ $status != 0 ]]; then
  echo "board: FAILED after $took s (exit status $status); the UART peer's log is $out/uart-peer.log" >&2
  exit 1
fi
echo "board: the whole run took $took s"
