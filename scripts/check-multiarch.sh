#!/usr/bin/env bash
# The packages as a device with 32- and 64-bit hosts uses them: kxser of
# amd64, armhf and arm64 installed side by side with dpkg (which refuses
# Multi-Arch: same packages whose shared files differ), kxser-dev and
# kxhost of amd64 beside them; then a host of each architecture, the example
# host cross-built against the installed headers, loads its own plug-in by
# the bare name "kxSer.so" (the ARM ones under qemu-arm and qemu-aarch64 on
# their architectures' own C library, no -L) and exchanges a line with an
# echo peer on 127.0.0.1; last, the packages are removed again.
# The install is real, but inside a private mount namespace whose /usr and
# /var/lib/dpkg are overlays that vanish with it: the machine's own system
# and the other processes on it never see the packages.
# usage: check-multiarch.sh [BUILD-ROOT]   (default build; needs root)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
builds=$(realpath "${1:-$root/build}")
arches=(amd64 armhf arm64)
declare -A preset=([amd64]=native [armhf]=armhf [arm64]=arm64)
declare -A triplet=([amd64]=x86_64-linux-gnu [armhf]=arm-linux-gnueabihf [arm64]=aarch64-linux-gnu)
declare -A cxx=([amd64]=g++ [armhf]=arm-linux-gnueabihf-g++ [arm64]=aarch64-linux-gnu-g++)
declare -A emulator=([amd64]="" [armhf]=qemu-arm [arm64]=qemu-aarch64)
fail() { echo "multiarch check: $*" >&2; exit 1; }
# shellcheck source=scripts/echo-peer.sh
. "$(dirname "$0")/echo-peer.sh"

if [[ ${KXSER_MULTIARCH_INSIDE:-} != 1 ]]; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "multiarch check: skipped (dpkg in a private mount namespace needs root)"
    exit 0
  fi
  for a in "${arches[@]}"; do
    [[ -f $builds/${preset[$a]}/kxSer.so ]] || fail "no $a build in $builds/${preset[$a]}"
    [[ -e /usr/lib/${triplet[$a]}/libstdc++.so.6 ]] || fail "libstdc++6:$a is not installed (scripts/install-deps.sh)"
  done
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  for a in "${arches[@]}"; do
    (cd "$builds/${preset[$a]}" && cpack -B "$work/debs" >/dev/null) || fail "cpack of the $a build failed"
  done
  mkdir -p "$work"/{usr,dpkg}/{upper,work}
  KXSER_MULTIARCH_INSIDE=1 unshare -m --propagation private "$0" "$work"
  exit
fi

work=$builds
mount -t overlay overlay -o "lowerdir=/usr,upperdir=$work/usr/upper,workdir=$work/usr/work" /usr
mount -t overlay overlay -o "lowerdir=/var/lib/dpkg,upperdir=$work/dpkg/upper,workdir=$work/dpkg/work" /var/lib/dpkg
dpkg=(dpkg --log=/dev/null --force-not-root)
debs=()
for a in "${arches[@]}"; do debs+=("$work"/debs/kxser_*_"$a".deb); done
debs+=("$work"/debs/kxser-dev_*_amd64.deb "$work"/debs/kxhost_*_amd64.deb)
"${dpkg[@]}" -i "${debs[@]}" >"$work/dpkg.log" 2>&1 || fail "dpkg -i failed: $(cat "$work/dpkg.log")"

plugin=$(pkg-config --variable=plugin kxser)
[[ $(realpath "$plugin") == /usr/lib/x86_64-linux-gnu/kxSer.so ]] || fail "pkg-config --variable=plugin kxser gives '$plugin'"
read -r cflags < <(pkg-config --cflags kxser)
kxhost info | grep -qx "library: /usr/bin/../lib/x86_64-linux-gnu/kxSer.so" || fail "kxhost info: $(kxhost info 2>&1)"

trap 'kill $peer 2>/dev/null' EXIT
start_echo_peer "$work/peer.log" fork

for a in "${arches[@]}"; do
  [[ -f /usr/lib/${triplet[$a]}/kxSer.so ]] || fail "kxser:$a did not install /usr/lib/${triplet[$a]}/kxSer.so"
  host=$work/host-$a
  # shellcheck disable=SC2086
  "${cxx[$a]}" -std=c++17 -Wall -Wextra -Werror $cflags -o "$host" "$root/examples/host/host.cpp" -ldl
  # shellcheck disable=SC2086
  out=$(env -u QEMU_LD_PREFIX -u LD_LIBRARY_PATH ${emulator[$a]} "$host" "$port" kxSer.so 2>&1) || fail "$a host: $out"
  grep -q '^echo ok: hello, kxSer$' <<<"$out" || fail "$a host: no echo in: $out"
  echo "multiarch check: $a host loaded /usr/lib/${triplet[$a]}/kxSer.so by its bare name, echo ok through 127.0.0.1:$port"
done

"${dpkg[@]}" -r kxhost kxser-dev "${arches[@]/#/kxser:}" >>"$work/dpkg.log" 2>&1 || fail "dpkg -r failed: $(cat "$work/dpkg.log")"
left=$(compgen -G "/usr/lib/*/kxSer.so" || true)
[[ -z $left ]] || fail "left after removal: $left"
echo "multiarch check: kxser amd64, armhf and arm64 installed side by side and removed again"
