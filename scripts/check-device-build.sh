#!/usr/bin/env bash
# kxSer built as a device build builds it, and what it installs (DEVELOPING.md,
# "Recipes"): cross, a plain cross configure for a triple Debian does not
# know; yocto, as contrib/yocto's recipe configures and packages it;
# buildroot, contrib/buildroot's Config.in, kxser.mk and its build. The
# compilers are Debian's arm-linux-gnueabihf ones behind wrappers that answer
# for the device's triple, at -O0 for speed; the tree stays under the native
# build and is configured afresh each run, so a rerun compiles nothing.
# usage: check-device-build.sh cross|yocto|buildroot NATIVE-BUILD-DIR
set -euo pipefail
kind=$1 native=$(realpath "$2")
root=$(cd "$(dirname "$0")/.." && pwd)
work=$native/device-$kind
fail() { echo "$kind build: $*" >&2; exit 1; }
if ! cc=$(command -v arm-linux-gnueabihf-gcc) || ! cxx=$(command -v arm-linux-gnueabihf-g++); then
  echo "$kind build: skipped (no arm-linux-gnueabihf-g++)"
  exit 77
fi
version=$(sed -n 's/^project(kxSer VERSION \([0-9.]*\) .*/\1/p' "$root/CMakeLists.txt")
rm -rf "${work:?}/bin" "$work/root" "$work/ref" "$work/b/CMakeCache.txt"
mkdir -p "$work/bin" "$work/sysroot"
# Nothing else on PATH: no qemu, abidw, dpkg-architecture, lintian.
for tool in cmake ninja gzip; do ln -s "$(command -v $tool)" "$work/bin/"; done

# toolchain TRIPLE FLAGS: wrapper compilers for TRIPLE and a toolchain file
# that names them, finding programs only in an empty sysroot.
toolchain() {
  for t in gcc:"$cc" g++:"$cxx"; do
    printf '#!/bin/sh\ncase " $* " in\n  *" -dumpmachine "*) echo %s ;;\n  *" -print-multiarch "*) echo ;;\n  *) exec %s "$@" ;;\nesac\n' \
      "$1" "${t#*:}" >"$work/bin/$1-${t%%:*}"
    chmod +x "$work/bin/$1-${t%%:*}"
  done
  cat >"$work/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER $work/bin/$1-gcc)
set(CMAKE_CXX_COMPILER $work/bin/$1-g++)
set(CMAKE_C_FLAGS "$2" CACHE STRING "")
set(CMAKE_CXX_FLAGS "$2" CACHE STRING "")
set(CMAKE_C_FLAGS_RELEASE "-DNDEBUG" CACHE STRING "")
set(CMAKE_CXX_FLAGS_RELEASE "-DNDEBUG" CACHE STRING "")
set(CMAKE_FIND_ROOT_PATH $work/sysroot)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
}
build() {
  env PATH="$work/bin" cmake -S "$root" -B "$work/b" -G Ninja -DCMAKE_MAKE_PROGRAM="$work/bin/ninja" \
    --toolchain "$work/toolchain.cmake" "$@" \
    >"$work/configure.log" 2>&1 || fail "configure failed: $(tail -20 "$work/configure.log")"
  # Niced as make test's own builds are: beside them it takes no more than its share.
  nice -n 19 env PATH="$work/bin" cmake --build "$work/b" >"$work/build.log" 2>&1 ||
    fail "build failed: $(tail -20 "$work/build.log")"
}
install() { DESTDIR=$work/root/$1 cmake --install "$work/b" >/dev/null; }
listing() { (cd "$1" && find . -type f | sed 's|^\./||' | sort); }
# ref PART...: what the native build installs, in a layout without the
# multiarch folder and without Debian's own files
cmake --install "$native" --prefix "$work/ref/all" >/dev/null
plugin=$(compgen -G "$work/ref/all/lib/*/kxSer.so" || true)
ma=$(basename "$(dirname "${plugin:-$work/ref/all/lib/kxSer.so}")")
ref() {
  for part; do
    [[ $part == all ]] || cmake --install "$native" --component "$part" --prefix "$work/ref/$part" >/dev/null
    listing "$work/ref/$part"
  done | sed "s|^lib/$ma/|lib/|" | grep -v '^share/lintian/' | sort
}
same() { diff <(ref "${@:2}" | sed "s|^|$1|") - || fail "installs other files (+) than the native build (-)"; }

case $kind in
cross)
  toolchain arm-buildroot-linux-uclibcgnueabihf -O0
  build
  grep -qx 'KXSER_TESTS:BOOL=OFF' "$work/b/CMakeCache.txt" || fail "the suite is on by default"
  ! grep -q googletest "$work/b/build.ninja" || fail "GoogleTest is configured"
  install .
  listing "$work/root" | same usr/local/ all
  ;;
yocto)
  bb=$(compgen -G "$root/contrib/yocto/recipes-*/kxser/kxser_*.bb")
  [[ $bb == */kxser_$version.bb ]] || fail "$bb is not the recipe of version $version"
  grep -q '^LAYERSERIES_COMPAT_kxser = "[a-z ]*"$' "$root/contrib/yocto/conf/layer.conf" || fail "no LAYERSERIES_COMPAT"
  md5=$(md5sum <"$root/LICENSE")
  grep -qx "LIC_FILES_CHKSUM = \"file://LICENSE;md5=${md5%% *}\"" "$bb" || fail "LIC_FILES_CHKSUM is not LICENSE's"
  # bbvar 'NAME OP': the value, continuation lines joined, names expanded
  # shellcheck disable=SC2016
  bbvar() {
    sed -e ':a' -e '/\\$/{N;s/\\\n//;ba' -e '}' "$bb" |
      sed 's|${PN}|kxser|g; s|${bindir}|/usr/bin|g; s|${libdir}|/usr/lib|g' | sed -n "s/^$1 \"\(.*\)\"$/\1/p"
  }
  # bitbake.conf's FILES patterns for the packages kxSer's files could reach
  declare -A files=([kxser-dev]="/usr/include /usr/lib/lib*.so /usr/lib/pkgconfig /usr/lib/cmake /usr/share/cmake"
                    [kxser-doc]="/usr/share/doc /usr/share/man" [kxser]="/usr/bin/* /usr/lib/lib*.so.* /usr/lib/kxser/*")
  packages="$(bbvar 'PACKAGES =+') kxser-dev kxser-doc kxser"
  for p in $packages; do
    set=$(bbvar "FILES:$p =")
    [[ -z $set ]] || files[$p]=$set
    files[$p]+=" $(bbvar "FILES:$p +=")"
  done
  read -ra opts <<<"$(bbvar 'EXTRA_OECMAKE =')"
  toolchain arm-poky-linux-gnueabi "-O0 -march=armv7-a -mfpu=neon -mfloat-abi=hard -fstack-protector-strong -Wformat -Wformat-security -Werror=format-security"
  LDFLAGS="-Wl,-O1 -Wl,--hash-style=gnu -Wl,--as-needed -Wl,-z,relro,-z,now" build \
    -DCMAKE_INSTALL_PREFIX:PATH=/usr -DCMAKE_INSTALL_BINDIR:PATH=bin -DCMAKE_INSTALL_SBINDIR:PATH=sbin \
    -DCMAKE_INSTALL_LIBEXECDIR:PATH=libexec -DCMAKE_INSTALL_SYSCONFDIR:PATH=/etc \
    -DCMAKE_INSTALL_LOCALSTATEDIR:PATH=/var -DCMAKE_INSTALL_LIBDIR:PATH=lib \
    -DCMAKE_INSTALL_INCLUDEDIR:PATH=include -DCMAKE_INSTALL_DATAROOTDIR:PATH=share -DLIB_SUFFIX= \
    -DCMAKE_INSTALL_SO_NO_EXE=0 -DCMAKE_NO_SYSTEM_FROM_IMPORTED=1 -DCMAKE_EXPORT_NO_PACKAGE_REGISTRY=ON \
    -DFETCHCONTENT_FULLY_DISCONNECTED=ON "${opts[@]}" -Wno-dev
  readelf -A "$work/b/kxSer.so" | grep -q 'Tag_ABI_VFP_args: VFP registers' || fail "kxSer.so is not hard-float"
  out=$(cd "$work/b" && cpack -B "$work/debs" 2>&1) && fail "cpack made packages of an unnamed architecture"
  grep -q "no Debian architecture" <<<"$out" || fail "cpack: $out"
  install .
  listing "$work/root" | same usr/ all
  for part in runtime:kxser tool:kxhost dev:kxser-dev; do
    while read -r f; do
      want=${part#*:}
      [[ $f == share/doc/* || $f == share/man/* ]] && want=kxser-doc
      got=
      for p in $packages; do
        read -ra patterns <<<"${files[$p]}"
        for pattern in "${patterns[@]}"; do
          # shellcheck disable=SC2053
          [[ /usr/$f == $pattern || /usr/$f == $pattern/* ]] && { got=$p; break 2; }
        done
      done
      [[ $got == "$want" ]] || fail "/usr/$f goes to ${got:-no package}, not $want"
    done < <(ref "${part%%:*}")
  done
  ;;
buildroot)
  ext=$root/contrib/buildroot
  # Config.in as Buildroot's kconfig reads it, beside stand-ins of the
  # toolchain options it depends on: kxser is offered exactly when all hold,
  # the comment exactly when one is missing.
  {
    echo 'mainmenu "stand-in"'
    printf 'config %s\n\tbool "x"\n' BR2_INSTALL_LIBSTDCPP BR2_TOOLCHAIN_HAS_THREADS BR2_STATIC_LIBS
    # shellcheck disable=SC2016
    echo 'source "$BR2_EXTERNAL_KXSER_PATH/Config.in"'
  } >"$work/Config.in"
  BR2_EXTERNAL_KXSER_PATH=$ext /usr/bin/python3 - "$work/Config.in" <<'EOF' || fail "Config.in: see above"
import itertools, sys, kconfiglib
k = kconfiglib.Kconfig(sys.argv[1], warn_to_stderr=False)
assert not k.warnings, k.warnings
pkg = k.syms["BR2_PACKAGE_KXSER"]
assert pkg.type == kconfiglib.BOOL and pkg.nodes[0].help, "BR2_PACKAGE_KXSER: a bool with help"
comment = next(n for n in k.node_iter() if n.item == kconfiglib.COMMENT)
assert comment.prompt[0] == "kxser needs a toolchain w/ C++, threads, dynamic library", comment.prompt[0]
for cxx, threads, static in itertools.product((0, 2), repeat=3):
    for name, v in zip(("BR2_INSTALL_LIBSTDCPP", "BR2_TOOLCHAIN_HAS_THREADS", "BR2_STATIC_LIBS"), (cxx, threads, static)):
        k.syms[name].set_value(v)
    ok = cxx and threads and not static
    assert (2 in pkg.assignable) == bool(ok), f"c++ {cxx} threads {threads} static {static}: kxser offered {pkg.assignable}"
    assert (kconfiglib.expr_value(comment.prompt[1]) == 2) != bool(ok), f"c++ {cxx} threads {threads} static {static}: comment"
EOF
  # kxser.mk under make, with a stand-in cmake-package that records the
  # package it is called for (Buildroot names it by the .mk's folder)
  vars=$(make -s --no-print-directory -f - BR2_EXTERNAL_KXSER_PATH="$ext" <<'EOF'
pkgdir = $(dir $(lastword $(MAKEFILE_LIST)))
cmake-package = CMAKE_PACKAGES += $(lastword $(subst /, ,$(pkgdir)))
include $(BR2_EXTERNAL_KXSER_PATH)/external.mk
all:
	@$(foreach v,CMAKE_PACKAGES $(filter KXSER_%,$(.VARIABLES)),echo '$(v)=$($(v))';)
EOF
  ) || fail "kxser.mk does not evaluate"
  get() { sed -n "s/^$1=//p" <<<"$vars"; }
  [[ $(get CMAKE_PACKAGES) == kxser ]] || fail "cmake-package is called for '$(get CMAKE_PACKAGES)', not kxser"
  [[ $(get KXSER_VERSION) == "$version" ]] || fail "KXSER_VERSION is $(get KXSER_VERSION), not $version"
  [[ $(get KXSER_SITE_METHOD) == local && $(realpath "$(get KXSER_SITE)") == "$root" ]] || fail "KXSER_SITE is not this tree"
  for f in $(get KXSER_LICENSE_FILES); do [[ -f $root/$f ]] || fail "no licence file $f"; done
  [[ $(get KXSER_INSTALL_STAGING) == YES ]] || fail "the headers are not installed to staging"
  read -ra opts <<<"$(get KXSER_CONF_OPTS)"
  toolchain arm-buildroot-linux-uclibcgnueabihf "-D_LARGEFILE_SOURCE -D_LARGEFILE64_SOURCE -D_FILE_OFFSET_BITS=64 -O0"
  build -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_COLOR_MAKEFILE=OFF -DBUILD_DOC=OFF \
    -DBUILD_DOCS=OFF -DBUILD_EXAMPLE=OFF -DBUILD_EXAMPLES=OFF -DBUILD_TEST=OFF -DBUILD_TESTS=OFF \
    -DBUILD_TESTING=OFF -DBUILD_SHARED_LIBS=ON "${opts[@]}"
  install staging
  install target
  rm -rf "$work/root/target/usr/"{include,lib/pkgconfig,lib/cmake,share/man,share/doc}
  listing "$work/root/staging" | same usr/ all
  diff <(ref runtime tool | grep -v '^share/' | sed 's|^|usr/|') <(listing "$work/root/target") ||
    fail "the target holds other files (+) than the plug-in and kxhost (-)"
  # A host package finds the headers as Buildroot's pkg-config does.
  read -r cflags < <(PKG_CONFIG_LIBDIR=$work/root/staging/usr/lib/pkgconfig \
    PKG_CONFIG_SYSROOT_DIR=$work/root/staging pkg-config --cflags kxser)
  [[ -f ${cflags#-I}/kxSer.h ]] || fail "pkg-config --cflags kxser in staging gives '$cflags'"
  ;;
*) fail "unknown kind (cross, yocto or buildroot)" ;;
esac
echo "$kind build: configured, built and installed as expected ($work)"
