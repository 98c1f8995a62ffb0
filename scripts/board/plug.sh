#!/usr/bin/env bash
# The host side of the board's requests to the build machine.
# scripts/board/run.sh runs it under socat, with standard input and output
# on the board's control port (a virtio serial port named kxboard.plug). A
# board test writes one line:
#
#   unplug    QEMU removes the USB-serial adapter (QMP device_del), answered
#             once QEMU reports the device deleted
#   replug    QEMU adds it again, on the same xHCI port (device_add)
#   mark      QEMU's trace of the UART chips so far is passed over
#   trace EVENT [TEXT]
#             the last field of each line of EVENT since the mark that
#             contains TEXT, in order: the value a register was written,
#             the FTDI request's value ("trace pl011_write addr 0x00000030"),
#             each after the time QEMU traced it (seconds of the build
#             machine's clock, from -msg timestamp=on; "-" without) and "/"
#
# and gets one line back: "ok" (for trace: "ok" and TIME/VALUE words, each
# after a blank), or "error: WHY".
#
# KXBOARD_QMP names QEMU's QMP socket, KXBOARD_DEVICE the -device options
# the adapter was started with (its id among them), KXBOARD_TRACE the file
# QEMU writes its trace to (-D).
set -uo pipefail
qmp=$KXBOARD_QMP
options=$KXBOARD_DEVICE
trace=$KXBOARD_TRACE
mark=0
id=$(sed -n 's/.*,id=\([^,]*\).*/\1/p' <<<"$options")
wait_s=15

log() { echo "plug: $*" >&2; }

# QMP is reached at the first request: QEMU may still be starting when the
# board's port connects.
connected=""
connect() {
  [[ -n $connected ]] && return 0
  coproc QMP { exec socat - UNIX-CONNECT:"$qmp"; }
  local line
  read -r -t $wait_s line <&"${QMP[0]}" || return 1 # the greeting
  echo '{"execute": "qmp_capabilities"}' >&"${QMP[1]}"
  expect '"return"' >/dev/null || return 1
  connected=1
}

# Reads QMP lines until one matches the pattern (printed) or an error comes.
expect() {
  local line
  while read -r -t $wait_s line <&"${QMP[0]}"; do
    line=${line%$'\r'}
    log "qmp: $line"
    if [[ $line == *'"error"'* ]]; then
      echo "$line"
      return 1
    fi
    if [[ $line == *"$1"* ]]; then
      echo "$line"
      return 0
    fi
  done
  echo "no answer from QEMU within $wait_s s"
  return 1
}

while read -r request; do
  request=${request%$'\r'}
  log "request: $request"
  case $request in
    unplug | replug)
      if ! connect; then
        echo "error: QEMU's QMP socket $qmp does not answer"
        continue
      fi
      ;;
  esac
  case $request in
    mark)
      # QEMU writes each trace line whole, before the guest's access returns.
      mark=$(stat -c %s "$trace" 2>/dev/null || echo 0)
      echo ok
      ;;
    "trace "*)
      read -r _ event text <<<"$request"
      echo "ok$(tail -c +$((mark + 1)) "$trace" 2>/dev/null |
        awk -v ev="$event" -v text="$text" '($1 == ev || $1 ~ ":" ev "$") && index($0, text) {
          # A timed line starts "PID@SECONDS.MICROSECONDS:EVENT".
          at = $1
          if (!sub(/:.*/, "", at) || !sub(/^[0-9]+@/, "", at)) at = "-"
          printf " %s/%s", at, $NF
        }')"
      ;;
    unplug)
      echo "{\"execute\": \"device_del\", \"arguments\": {\"id\": \"$id\"}}" >&"${QMP[1]}"
      if why=$(expect "\"DEVICE_DELETED\", \"data\": {\"device\": \"$id\""); then
        echo ok
      else
        echo "error: $why"
      fi
      ;;
    replug)
      # The human monitor takes the -device text as it is.
      echo "{\"execute\": \"human-monitor-command\", \"arguments\": {\"command-line\": \"device_add $options\"}}" >&"${QMP[1]}"
      if why=$(expect '"return"'); then
        # The monitor reports a failure as the text it returns.
        if [[ $why == *'"return": ""'* ]]; then echo ok; else echo "error: $why"; fi
      else
        echo "error: $why"
      fi
      ;;
    *) echo "error: unknown request '$request'" ;;
  esac
done
