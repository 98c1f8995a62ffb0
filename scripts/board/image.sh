#!/usr/bin/env bash
# Builds what the board boots, under build/board: Debian's armmp kernel and
# an initramfs with busybox, the cross toolchain's armhf runtime libraries,
# the kernel modules the run needs (virtio, CUSE, xHCI with the FTDI
# USB-serial driver, and the USB gadget: g_serial on dummy_hcd with cdc-acm
# on its host side), and the armhf build (kxSer.so, kxhost,
# kxgpiodev, the test executables) at the same absolute paths as here, so
# the paths compiled into the tests hold on the board too.
#
#   scripts/board/image.sh [ARMHF_BUILD_DIR]
#
# Debian's packages are fetched once with apt-get download into
# build/board/debs; nothing else is downloaded.
set -euo pipefail
cd "$(dirname "$0")/../.."
armhf=$(realpath "${1:-build/armhf}")
out=build/board
debs=$out/debs
sysroot=/usr/arm-linux-gnueabihf
triple=arm-linux-gnueabihf
# g_serial finds its ACM function by name, never by a symbol, and the board
# has no modprobe to load it on demand: usb_f_acm comes first.
modules_wanted=(virtio_mmio virtio_console fuse cuse usbcore xhci-hcd xhci-pci usbserial ftdi_sio
  configfs udc-core libcomposite u_serial usb_f_acm dummy_hcd g_serial cdc-acm)

die() {
  echo "board: $*" >&2
  exit 1
}

[[ -f $armhf/kxSer.so ]] || die "no armhf build in $armhf (run make build-armhf)"
mkdir -p "$debs"

# The newest cached .deb of a package, fetched first when the lists name a
# version that is not cached yet.
fetch() {
  local pkg=$1 version cached
  version=$(apt-cache policy "$pkg:armhf" 2>/dev/null | awk '/Candidate:/ {print $2}')
  if [[ -n $version && $version != "(none)" ]]; then
    cached=$(compgen -G "$debs/${pkg}_*${version#*:}_armhf.deb" | head -1 || true)
    if [[ -z $cached ]]; then
      echo "board: apt-get download $pkg:armhf ($version)" >&2
      (cd "$debs" && apt-get download -qq -o APT::Sandbox::User=root "$pkg:armhf" >&2) ||
        die "apt-get download $pkg:armhf failed"
    fi
  fi
  cached=$(ls -t "$debs/${pkg}"_*_armhf.deb 2>/dev/null | head -1 || true)
  [[ -n $cached ]] || die "no $pkg:armhf in Debian's package lists; run scripts/install-deps.sh as root (it adds the armhf architecture and updates the lists)"
  echo "$cached"
}

# The kernel package that Debian's armmp meta-package stands for now.
kernel_pkg=$(apt-cache depends linux-image-armmp:armhf 2>/dev/null |
  awk '/Depends: linux-image-[0-9].*-armmp/ {sub(":armhf", "", $2); print $2; exit}')
if [[ -z $kernel_pkg ]]; then
  kernel_pkg=$(ls -t "$debs"/linux-image-*-armmp_*_armhf.deb 2>/dev/null | head -1 | xargs -r basename | cut -d_ -f1)
fi
[[ -n $kernel_pkg ]] || die "no linux-image-armmp:armhf in Debian's package lists; run scripts/install-deps.sh as root (it adds the armhf architecture and updates the lists)"
kernel_deb=$(fetch "$kernel_pkg")
busybox_deb=$(fetch busybox-static)

# Unpacked once per .deb.
unpack() {
  local deb=$1 dir=$2
  if [[ ! -f $dir/.from || $(cat "$dir/.from") != "$(basename "$deb")" ]]; then
    rm -rf "$dir"
    mkdir -p "$dir"
    dpkg-deb -x "$deb" "$dir"
    basename "$deb" >"$dir/.from"
  fi
}
unpack "$kernel_deb" "$out/kernel"
unpack "$busybox_deb" "$out/busybox"
kver=$(ls "$out/kernel/lib/modules")
cp "$out/kernel/boot/vmlinuz-$kver" "$out/vmlinuz"

root=$out/rootfs
rm -rf "$root"
mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,dev,proc,sys,tmp,run,etc,lib/modules}
chmod 1777 "$root/tmp"
cp "$out/busybox/bin/busybox" "$root/bin/busybox"

# Kernel modules: those not built in, with what they depend on, in load order.
moddir=$out/kernel/lib/modules/$kver
order=()
add_module() {
  local name=$1 file dep
  for m in "${order[@]}"; do [[ ${m%%:*} == "$name" ]] && return 0; done
  if grep -Eq "/${name//_/[_-]}\.ko$" "$moddir/modules.builtin"; then return 0; fi
  file=$(find "$moddir/kernel" -regextype posix-extended -regex ".*/${name//_/[_-]}\.ko" | head -1)
  [[ -n $file ]] || die "kernel $kver has no module $name"
  for dep in $(grep -ao 'depends=[a-z0-9_,-]*' "$file" | head -1 | cut -d= -f2 | tr ',' ' '); do
    add_module "$dep"
  done
  order+=("$name:$file")
}
for m in "${modules_wanted[@]}"; do add_module "$m"; done
: >"$root/lib/modules/load.order"
for m in "${order[@]}"; do
  cp "${m#*:}" "$root/lib/modules/"
  basename "${m#*:}" >>"$root/lib/modules/load.order"
done

# The armhf build, stripped of debug information, at its own paths.
elves=()
while IFS= read -r -d '' f; do
  [[ $(head -c 4 "$f" | od -An -c | tr -d ' ') == 177ELF ]] || continue
  case $(readelf -h "$f" 2>/dev/null | awk '/Type:/ {print $2}') in
    EXEC | DYN) ;;
    *) continue ;;
  esac
  mkdir -p "$root$(dirname "$f")"
  $triple-strip --strip-debug -o "$root$f" "$f"
  chmod --reference="$f" "$root$f"
  elves+=("$f")
done < <(find "$armhf" -type f \( -perm -u+x -o -name '*.so' \) -not -path '*/CMakeFiles/*' -print0)

# The test executables ctest knows, with their working directories; only
# those BOARD_ONLY names (blank-separated), when set.
: >"$root/etc/board-tests"
while IFS= read -r inc; do
  exe=$(sed -n 's/.*TEST_EXECUTABLE \[==\[\(.*\)\]==\].*/\1/p' "$inc")
  wd=$(sed -n 's/.*TEST_WORKING_DIR \[==\[\(.*\)\]==\].*/\1/p' "$inc")
  [[ -z ${BOARD_ONLY:-} || " $BOARD_ONLY " == *" ${exe##*/} "* ]] || continue
  [[ -n $exe && -x $root$exe ]] && echo "$exe ${wd:-$(dirname "$exe")}" >>"$root/etc/board-tests"
done < <(find "$armhf" -name '*\[1\]_include.cmake' -not -path '*/CMakeFiles/*' | sort)
[[ -s $root/etc/board-tests ]] || die "no test executables found in $armhf"

# Runtime libraries the build needs, from the cross toolchain.
declare -A have=()
queue=("${elves[@]}")
while ((${#queue[@]})); do
  f=${queue[0]}
  queue=("${queue[@]:1}")
  for lib in $(readelf -d "$f" 2>/dev/null | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    [[ -n ${have[$lib]:-} ]] && continue
    have[$lib]=1
    # Libraries of the build itself are already in place.
    [[ -e $sysroot/lib/$lib ]] || continue
    cp -L "$sysroot/lib/$lib" "$root/lib/$lib"
    queue+=("$sysroot/lib/$lib")
  done
done
cp -L "$sysroot/lib/ld-linux-armhf.so.3" "$root/lib/"

# What glibc and the socket tests read from /etc.
echo "root:x:0:0:root:/root:/bin/sh" >"$root/etc/passwd"
echo "root:x:0:" >"$root/etc/group"
printf '127.0.0.1\tlocalhost\n127.0.1.1\tkxboard\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
printf 'passwd: files\ngroup: files\nhosts: files\nnetworks: files\nprotocols: files\nservices: files\n' \
  >"$root/etc/nsswitch.conf"
for f in services protocols; do [[ -f /etc/$f ]] && cp "/etc/$f" "$root/etc/$f"; done

cp scripts/board/init "$root/init"
chmod 755 "$root/init"
# The host suite's tests run helper programs through the emulator they were
# built for; the board runs them as they are, without the emulator's options
# (-L DIR, -E VAR=VALUE: each takes a value).
printf '#!/bin/sh\nwhile [ "${1#-}" != "$1" ]; do shift 2; done\nexec "$@"\n' >"$root/usr/bin/qemu-arm"
chmod 755 "$root/usr/bin/qemu-arm"

(cd "$root" && find . -mindepth 1 | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$out/initramfs.cpio"
echo "board: kernel $kver, initramfs $(du -h "$out/initramfs.cpio" | cut -f1)," \
  "$(wc -l <"$root/etc/board-tests") test executables, modules: $(tr '\n' ' ' <"$root/lib/modules/load.order")"
