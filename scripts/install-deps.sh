#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need, and makes Debian's
# armhf and arm64 package lists available: the board run (make test-board)
# fetches the armhf kernel and busybox with apt-get download, and the
# side-by-side package check (scripts/check-multiarch.sh) runs armhf and
# arm64 hosts on those architectures' own C and C++ libraries. As root it
# runs dpkg and apt-get; otherwise it prints the exact commands and fails.
# A package list that fails to download (a mirror mid-sync) is not fatal by
# itself: it fails only when a package it needs cannot be installed.
# With --demo only what the native kxSer.so and kxhost need (make demo): a
# first try should not wait for cross compilers, QEMU and the checkers. With
# --package what make package needs: the cross compilers and Debian's
# package tools, none of the suites'.
set -euo pipefail

mode=all
case ${1:-} in
  --demo) mode=demo ;;
  --package) mode=package ;;
  "") ;;
  *) echo "usage: $0 [--demo|--package]" >&2; exit 2 ;;
esac
lean=0
[[ $mode == all ]] || lean=1

# "package command-or-path" that proves it is present; the first three are
# all the demo needs.
checks=(
  "cmake cmake"
  "ninja-build ninja"
  "g++ g++"
)
# make package: the four architectures' compilers; lintian checks what it
# built, dpkg-shlibdeps gives the native packages' Depends, readelf the
# cross ones'
[[ $mode == demo ]] || checks+=(
  "g++-arm-linux-gnueabihf arm-linux-gnueabihf-g++"
  "g++-arm-linux-gnueabi arm-linux-gnueabi-g++"
  "g++-aarch64-linux-gnu aarch64-linux-gnu-g++"
  "lintian lintian"
  "dpkg-dev dpkg-shlibdeps"
  "binutils readelf"
)
((lean)) || checks+=(
  "clang clang++"
  "libclang-rt-14-dev /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a"
  "googletest /usr/src/googletest/CMakeLists.txt"
  "libgtest-dev /usr/include/gtest/gtest.h"
  "libbenchmark-dev /usr/include/benchmark/benchmark.h"
  "qemu-user qemu-arm"
  "socat socat"
  "netbase /etc/services"
  "iproute2 ip"
  "util-linux unshare"
  "file file"
  "abigail-tools abidw"
  "valgrind valgrind"
  "binutils nm"
  "groff-base groff"
  # pkg-config for the example host's build door
  "pkgconf pkg-config"
  "qemu-system-arm qemu-system-arm"
  "cpio cpio"
  # the vanished-peer test drops a peer's packets with nftables
  "nftables nft"
  # make coverage
  "gcovr gcovr"
  # the Buildroot package's Config.in is parsed as Buildroot's kconfig would
  "python3-kconfiglib /usr/lib/python3/dist-packages/kconfiglib.py"
  # the armhf and arm64 hosts of scripts/check-multiarch.sh, run on the
  # multiarch libraries their packages depend on
  "libc6:armhf /usr/lib/arm-linux-gnueabihf/libc.so.6"
  "libgcc-s1:armhf /usr/lib/arm-linux-gnueabihf/libgcc_s.so.1"
  "libstdc++6:armhf /usr/lib/arm-linux-gnueabihf/libstdc++.so.6"
  "libc6:arm64 /usr/lib/aarch64-linux-gnu/libc.so.6"
  "libgcc-s1:arm64 /usr/lib/aarch64-linux-gnu/libgcc_s.so.1"
  "libstdc++6:arm64 /usr/lib/aarch64-linux-gnu/libstdc++.so.6"
)

missing=()
for entry in "${checks[@]}"; do
  pkg=${entry%% *}
  probe=${entry#* }
  if [[ $probe == /* ]]; then
    compgen -G "$probe" >/dev/null || missing+=("$pkg")
  else
    command -v "$probe" >/dev/null 2>&1 || missing+=("$pkg")
  fi
done

# The board's kernel and busybox come from the armhf lists.
armhf_lists() {
  apt-cache policy busybox-static:armhf linux-image-armmp:armhf 2>/dev/null | grep -c 'Candidate: [0-9]' | grep -qx 2
}
new_arches=()
if ((!lean)); then
  for arch in armhf arm64; do
    dpkg --print-foreign-architectures | grep -qx $arch || new_arches+=($arch)
  done
fi
need_lists=0
((lean)) || { ((${#new_arches[@]} == 0)) && armhf_lists; } || need_lists=1

if ((${#missing[@]} == 0 && need_lists == 0)); then
  exit 0
fi

# Retries a download that fails on the way; a list that still fails is
# reported and left out, and what the others offer is installed.
apt="apt-get -o DPkg::Lock::Timeout=600 -o Acquire::Retries=3"
cmds=()
for arch in "${new_arches[@]}"; do cmds+=("dpkg --add-architecture $arch"); done
cmds+=("$apt update")
((${#missing[@]})) && cmds+=("$apt install -y --no-install-recommends ${missing[*]}")
if [[ $(id -u) -ne 0 ]]; then
  ((${#missing[@]})) && echo "Missing Debian packages: ${missing[*]}" >&2
  ((need_lists)) && echo "Debian's armhf and arm64 package lists are missing (the board run and the side-by-side check need them)" >&2
  echo "Run as root:" >&2
  for c in "${cmds[@]}"; do echo "  $c" >&2; done
  exit 1
fi

((${#missing[@]})) && echo "Installing: ${missing[*]}"
for arch in "${new_arches[@]}"; do
  echo "Adding the $arch architecture's package lists"
  dpkg --add-architecture "$arch"
done
export DEBIAN_FRONTEND=noninteractive
$apt update -qq || echo "install-deps: some package lists could not be fetched (above); going on with those that arrived" >&2
if ((${#missing[@]})); then
  # shellcheck disable=SC2086
  if ! $apt install -y --no-install-recommends ${missing[*]}; then
    # One at a time, to name what cannot be installed.
    failed=()
    for pkg in "${missing[@]}"; do
      $apt install -y --no-install-recommends "$pkg" || failed+=("$pkg")
    done
    if ((${#failed[@]})); then
      echo "install-deps: cannot install: ${failed[*]}" >&2
      exit 1
    fi
  fi
fi
((lean)) || armhf_lists || { echo "install-deps: cannot install: busybox-static:armhf linux-image-armmp:armhf (not in the armhf lists)" >&2; exit 1; }
