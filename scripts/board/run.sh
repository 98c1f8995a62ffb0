#!/usr/bin/env bash
# make test-board: boots QEMU's virt board (Cortex-A15, 2 CPUs, 512 MiB) on
# Debian's armmp kernel and runs the armhf build inside it (scripts/board/init).
# The kernel console and the results come on a virtio console; the board's
# PL011 UART, the far side of its USB-serial adapter (QEMU's FTDI FT232 on
# an xHCI controller) and a 16550 on PCI (pci-serial) are each wired to a
# peer process here (tests/board/uart_peer.cpp): the PL011 through a Unix
# socket, the other two through a pseudo-terminal each, to which QEMU passes
# on their speed and stop bits. A second virtio port carries the board
# tests' requests to unplug and replug the adapter, which
# scripts/board/plug.sh passes to QEMU's QMP socket, and their questions
# about what the three UART chips were told: QEMU traces the PL011's and the
# 16550's register writes and the FTDI's control requests, each with its
# time (a break's length shows), to a file that plug.sh reads. The USB
# gadget's two ports (g_serial's ttyGS0, cdc_acm's ttyACM0) are both inside
# the board.
#
#   scripts/board/run.sh [ARMHF_BUILD_DIR]
#
# BOARD_LIMIT (seconds, default 240) bounds the run from QEMU's start;
# BOARD_ONLY (executable names, blank-separated) runs only those tests.
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
usb_pty=$out/usb.pty
pci_pty=$out/pci.pty
plug_sock=$out/plug.sock
qmp_sock=$out/qmp.sock
console=$out/console.log
trace=$out/trace.log
# QEMU's FTDI adapter; the same options replug it, on the same port.
usb_device=usb-serial,id=ftdi,bus=xhci.0,port=1,chardev=usbser
rm -f "$sock" "$usb_pty" "$pci_pty" "$plug_sock" "$qmp_sock" "$trace"
helpers=()
"$peer" --listen "$sock" --limit $((limit + 60)) 2>"$out/uart-peer.log" &
helpers+=($!)
"$peer" --pty "$usb_pty" --limit $((limit + 60)) 2>"$out/usb-peer.log" &
helpers+=($!)
"$peer" --pty "$pci_pty" --limit $((limit + 60)) 2>"$out/pci-peer.log" &
helpers+=($!)
# One connection, from QEMU; socat ends with it.
KXBOARD_QMP=$qmp_sock KXBOARD_DEVICE=$usb_device KXBOARD_TRACE=$trace timeout $((limit + 60)) \
  socat UNIX-LISTEN:"$plug_sock",unlink-early EXEC:scripts/board/plug.sh 2>"$out/plug.log" &
helpers+=($!)
for s in "$sock" "$usb_pty" "$pci_pty" "$plug_sock"; do
  for _ in $(seq 100); do
    [[ -S $s || -L $s ]] && break
    sleep 0.05
  done
  [[ -S $s || -L $s ]] || { echo "board: $s did not come up (see $out/*.log)" >&2; kill "${helpers[@]}" 2>/dev/null; exit 1; }
done

last_lines() {
  echo "board: last lines of the console ($console):" >&2
  tail -n 40 "$console" | sed 's/^/  > /' >&2
}

echo "board: booting qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -smp 2 -m 512 with an FTDI adapter on xHCI and a 16550 on PCI (limit ${limit} s)"
start=$(date +%s.%N)
first=""
: >"$console"
# The console goes through a pipe: no terminal is taken over. Lines are
# taken as they come (no buffering tool between), CR dropped.
# highmem=off: the 32-bit kernel cannot claim the PCIe configuration space
# above 4 GiB, and the xHCI controller and the 16550 sit on PCIe.
timeout -k 10 "$limit" qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -smp 2 -m 512 \
  -nodefaults -display none -no-reboot \
  -kernel "$out/vmlinuz" -initrd "$out/initramfs.cpio" \
  -append "console=hvc0 quiet panic=-1" \
  -device virtio-serial-device -chardev stdio,id=con,signal=off -device virtconsole,chardev=con \
  -chardev socket,id=plug,path="$plug_sock" -device virtserialport,chardev=plug,name=kxboard.plug \
  -chardev socket,id=uart,path="$sock" -serial chardev:uart \
  -device qemu-xhci,id=xhci -chardev serial,id=usbser,path="$usb_pty" -device "$usb_device" \
  -chardev serial,id=pciser,path="$pci_pty" -device pci-serial,chardev=pciser \
  -qmp unix:"$qmp_sock",server=on,wait=off \
  -trace pl011_write -trace serial_write -trace usb_serial_handle_control \
  -trace usb_serial_set_flow_control -D "$trace" -msg timestamp=on \
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
# The peers and the plug service end when QEMU closes their lines; they
# never outlive the run.
for _ in $(seq 20); do
  alive=""
  for p in "${helpers[@]}"; do kill -0 "$p" 2>/dev/null && alive=1; done
  [[ -n $alive ]] || break
  sleep 0.1
done
kill "${helpers[@]}" 2>/dev/null
wait "${helpers[@]}" 2>/dev/null

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
  echo "board: FAILED after $took s (exit status $status); the peers' and the plug service's logs are $out/{uart-peer,usb-peer,pci-peer,plug}.log" >&2
  exit 1
fi
echo "board: the whole run took $took s"
