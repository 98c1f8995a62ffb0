#!/usr/bin/env bash
# Runs the built-in demo of the host program against the freshly built plug-in.
set -euo pipefail
host=build/native/tools/kxhost
if [[ -x $host ]]; then
  exec "$host" demo --lib build/native/kxSer.so
fi
echo "kxSer.so is built at build/native/kxSer.so."
echo "The host program kxhost is not written yet. Once it is, 'make demo' will load"
echo "the plug-in, create a pseudo-terminal and loopback TCP/UDP echo peers, and walk"
echo "each channel through identify, GetSerManager, GetSer, Open, Write, Read, Close"
echo "and FreeSerManager, printing the library's own log."
