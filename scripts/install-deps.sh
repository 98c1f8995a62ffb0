#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need. As root it runs
# apt-get; otherwise it prints the exact command and fails.
set -euo pipefail

# package:command-or-path that proves it is present
checks=(
  "cmake:cmake"
  "ninja-build:ninja"
  "g++:g++"
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

if ((${#missing[@]} == 0)); then
  exit 0
fi

cmd="apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends ${missing[*]}"
if [[ $(id -u) -ne 0 ]]; then
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Install them as root with:" >&2
  echo "  apt-get update && $cmd" >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get -o DPkg::Lock::Timeout=600 update -qq
# shellcheck disable=SC2086
$cmd
