#!/usr/bin/env bash
# A cross suite must be a real build for its ARM ABI whose tests ran under
# qemu-user. A host process loads only a library of its own ABI: the loader
# refuses a hard-float kxSer.so in a soft-float (armel) process and the other
# way round, so the float ABI is checked, not only the machine.
# usage: check-cross.sh armhf|armel|arm64
set -euo pipefail
preset=$1
dir=build/$preset
lib=$dir/kxSer.so
host=$dir/tools/kxhost

fail() { echo "$preset: $*" >&2; exit 1; }

case $preset in
  armhf) class=ELF32 machine=ARM qemu=qemu-arm interp=/lib/ld-linux-armhf.so.3 ;;
  armel) class=ELF32 machine=ARM qemu=qemu-arm interp=/lib/ld-linux.so.3 ;;
  arm64) class=ELF64 machine=AArch64 qemu=qemu-aarch64 interp=/lib/ld-linux-aarch64.so.1 ;;
  *) fail "unknown preset (armhf, armel or arm64)" ;;
esac

objects=("$lib")
[[ -x $host ]] && objects+=("$host")
for obj in "${objects[@]}"; do
  [[ -f $obj ]] || fail "$obj not built"
  header=$(readelf -h "$obj")
  grep -Eq "Class: +$class\$" <<<"$header" || fail "$obj is not $class"
  grep -Eq "Machine: +$machine\$" <<<"$header" || fail "$obj is not for $machine"
  flags=$(sed -n 's/^ *Flags: *//p' <<<"$header")
  attrs=$(readelf -A "$obj")
  case $preset in
    armhf)
      [[ $flags == *"hard-float ABI"* ]] || fail "$obj is not hard-float ($flags)"
      grep -q 'Tag_ABI_VFP_args: VFP registers' <<<"$attrs" || fail "$obj does not pass floats in VFP registers"
      ;;
    armel)
      [[ $flags == *"soft-float ABI"* ]] || fail "$obj is not soft-float ($flags)"
      ! grep -q 'Tag_ABI_VFP_args' <<<"$attrs" || fail "$obj passes floats in VFP registers"
      # Debian's armel runs on ARMv5T and up: nothing newer may be required.
      arch=$(sed -n 's/^ *Tag_CPU_arch: *//p' <<<"$attrs")
      [[ $arch =~ ^v(4T|5T|5TE|5TEJ)$ ]] || fail "$obj needs CPU architecture ${arch:-unknown}, beyond ARMv5T"
      ;;
  esac
  if [[ $obj == "$host" ]]; then
    readelf -l "$obj" | grep -q "interpreter: $interp\]" || fail "$obj is not run by $interp"
  fi
  echo "$preset: $obj: $class $machine${flags:+, $flags}"
done

log=$dir/Testing/Temporary/LastTest.log
[[ -f $log ]] || fail "no test log"
ran=$(grep -c "^Command: \"[^\"]*/$qemu\"" "$log" || true)
passed=$(grep -c '^Test Passed' "$log" || true)
[[ $ran -gt 0 ]] || fail "no test ran under $qemu"
echo "$preset: $ran tests ran under $qemu, $passed passed"
