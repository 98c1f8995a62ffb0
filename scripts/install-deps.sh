#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need, and makes Debian's
# armhf package lists available for the board run (make test-board), which
# fetches the armhf kernel and busybox with apt-get download. As root it runs
# dpkg and apt-get; otherwise it prints the exact commands and fails.
# With --demo only what the native kxSer.so and kxhost need (make demo): a
# first try should not wait for cross compilers, QEMU and the checkers.
set -euo pipefail

demo=0
case ${1:-} in
  --demo) demo=1 ;;
  "") ;;
  *) echo "usage: $0 [--demo]" >&2; exit 2 ;;
esac

# package:command-or-path that proves it is present; the first three are
# all the demo needs.
checks=(
  "cmake:cmake"
  "ninja-build:ninja"
  "g++:g++"
)
((demo)) || checks+=(
  "clang:clang++"
  "libclang-rt-14-dev:/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a"
  "googletest:/usr/src/googletest/CMakeLists.txt"
  "libgtest-dev:/usr/include/gtest/gtest.h"
  "libbenchmark-dev:/usr/include/benchmark/benchmark.h"
  "g++-arm-linux-gnueabihf:arm-linux-gnueabihf-g++"
  "qemu-user:qemu-arm"
  "socat:socat"
  "netbase:/etc/services"
  "iproute2:ip"
  "util-linux:unshare"
  "file:file"
  "abigail-tools:abidw"
  "valgrind:valgrind"
  "binutils:nm"
  "groff-base:groff"
  # armel and arm64 builds; pkg-config for the example host's build door
  "g++-arm-linux-gnueabi:arm-linux-gnueabi-g++"
  "g++-aarch64-linux-gnu:aarch64-linux-gnu-g++"
  "pkgconf:pkg-config"
  "qemu-system-arm:qemu-system-arm"
  "cpio:cpio"
  # the vanished-peer test drops a peer's packets with nftables
  "nftables:nft"
  # make coverage
  "gcovr:gcovr"
  # make package checks what it built with Debian's own package checker
  "lintian:lintian"
)

missing=()
for entry in "${checks[@]}"; do
  pkg=${entry%%:*}
  probe=${entry#*:}
  if [[ $probe == /* ]]; then
    compgen -G "$probe" >/dev/null || missing+=("$pkg")
  else
    command -v "$probe" >/dev/null 2>&1 || missing+=("$pkg")
  fi
done

# The board's kernel and busybox come from the armhf lists.
armhf_lists() {
  dpkg --print-foreign-architectures | grep -qx armhf &&
    apt-cache policy busybox-static:armhf linux-image-armmp:armhf 2>/dev/null | grep -c 'Candidate: [0-9]' | grep -qx 2
}
need_armhf=0
((demo)) || armhf_lists || need_armhf=1

if ((${#missing[@]} == 0 && need_armhf == 0)); then
  exit 0
fi

apt="apt-get -o DPkg::Lock::Timeout=600"
cmds=()
((need_armhf)) && cmds+=("dpkg --add-architecture armhf")
cmds+=("$apt update")
((${#missing[@]})) && cmds+=("$apt install -y --no-install-recommends ${missing[*]}")
if [[ $(id -u) -ne 0 ]]; then
  ((${#missing[@]})) && echo "Missing Debian packages: ${missing[*]}" >&2
  ((need_armhf)) && echo "Debian's armhf package lists are missing (the board run needs them)" >&2
  echo "Run as root:" >&2
  for c in "${cmds[@]}"; do echo "  $c" >&2; done
  exit 1
fi

((${#missing[@]})) && echo "Installing: ${missing[*]}"
((need_armhf)) && echo "Adding the armhf architecture's package lists"
export DEBIAN_FRONTEND=noninteractive
((need_armhf)) && dpkg --add-architecture armhf
$apt update -qq
# shellcheck disable=SC2086
((${#missing[@]} == 0)) || $apt install -y --no-install-recommends ${missing[*]}
((demo)) || armhf_lists || { echo "Debian's armhf lists still lack busybox-static or linux-image-armmp" >&2; exit 1; }
