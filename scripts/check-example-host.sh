#!/usr/bin/env bash
# Builds examples/host out of tree against an installed kxSer, through one of
# the two doors a host build uses, and runs it against a TCP echo peer on
# 127.0.0.1. The tree is installed, then moved, so a path baked in at install
# time would show.
# usage: check-example-host.sh pkg-config|cmake BUILD-DIR CXX CMAKE
set -euo pipefail
door=$1 build=$2 cxx=$3 cmake=$4
src=$(cd "$(dirname "$0")/.." && pwd)/examples/host

work=$(mktemp -d)
peer=
# The peer's own end (killed, or gone after its one connection) is no
# failure of the check.
cleanup() {
  if [[ -n $peer ]]; then
    kill "$peer" 2>/dev/null || true
    wait "$peer" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "example host ($door): $*" >&2; exit 1; }
# shellcheck source=scripts/echo-peer.sh
. "$(dirname "$0")/echo-peer.sh"

"$cmake" --install "$build" --prefix "$work/staged" >/dev/null
mv "$work/staged" "$work/prefix"
prefix=$work/prefix

case $door in
  pkg-config)
    # Debian's multiarch folder, lib/<triplet>/pkgconfig, where the cross
    # pkg-config looks too.
    pcfiles=("$prefix"/lib/*/pkgconfig/kxser.pc)
    [[ -f ${pcfiles[0]} ]] || fail "no lib/<triplet>/pkgconfig/kxser.pc installed"
    export PKG_CONFIG_PATH=${pcfiles[0]%/*} PKG_CONFIG_LIBDIR=${pcfiles[0]%/*}
    # read drops the blank pkgconf leaves at the end.
    read -r cflags < <(pkg-config --cflags kxser)
    read -r libs < <(pkg-config --libs kxser)
    read -r plugin < <(pkg-config --variable=plugin kxser)
    [[ $(realpath "${cflags#-I}") == "$prefix/include/kxSer" ]] || fail "--cflags gives '$cflags'"
    [[ $libs == "-ldl" ]] || fail "--libs gives '$libs', not -ldl"
    [[ $(realpath "$plugin") == "${pcfiles[0]%/pkgconfig/*}/kxSer.so" ]] || fail "plugin variable is '$plugin'"
    # shellcheck disable=SC2086
    "$cxx" -std=c++17 -Wall -Wextra -Werror $cflags -DKXSER_PLUGIN_PATH="\"$plugin\"" \
      -o "$work/kxser-example-host" "$src/host.cpp" $libs
    host=$work/kxser-example-host
    ;;
  cmake)
    "$cmake" -S "$src" -B "$work/build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" \
      -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
    "$cmake" --build "$work/build" >/dev/null
    host=$work/build/kxser-example-host
    ;;
  *) fail "unknown door" ;;
esac

start_echo_peer "$work/peer.log"

out=$("$host" "$port") || fail "host failed: $out"
grep -q '^echo ok: hello, kxSer$' <<<"$out" || fail "no echo in: $out"
echo "example host ($door): built against $prefix, echo ok through 127.0.0.1:$port"
