#!/usr/bin/env bash
# The armhf suite must be a real ARM build whose tests ran under qemu.
set -euo pipefail
lib=build/armhf/kxSer.so
desc=$(file -b "$lib")
echo "armhf: $lib: $desc"
[[ $desc == "ELF 32-bit LSB shared object, ARM"* ]] || { echo "armhf: not a 32-bit ARM library" >&2; exit 1; }
log=build/armhf/Testing/Temporary/LastTest.log
[[ -f $log ]] || { echo "armhf: no test log" >&2; exit 1; }
ran=$(grep -c '^Command: "[^"]*qemu-arm"' "$log" || true)
passed=$(grep -c '^Test Passed' "$log" || true)
[[ $ran -gt 0 ]] || { echo "armhf: no test ran under qemu-arm" >&2; exit 1; }
echo "armhf: $ran tests ran under qemu-arm, $passed passed"
