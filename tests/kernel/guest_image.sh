#!/usr/bin/env bash
# Makes what the kernel test boots:
#
#   guest_image.sh CACHE OUT CLI TUNNEL_GUEST USB_CHECK INIT
#
# OUT/vmlinuz: Debian's own kernel, the one the linux-image-amd64 package
#   of this system's release points to, downloaded with apt-get download
#   and unpacked with dpkg-deb (never installed). It is kept in CACHE with
#   the modules the test loads, so that later runs download nothing
#   (HALVOREN_KERNEL_CACHE, when set, is the cache instead of CACHE).
# OUT/vmlinux: the same kernel uncompressed, when it can be had, which QEMU
#   boots faster.
# OUT/initramfs.cpio: busybox-static (/bin/sh is a link to it), INIT as
#   /init, the modules for vhci-hcd and virtio-serial with the order to load
#   them in (from their depends= records: the package has no modules.dep),
#   the command-line host CLI and Debian's usbip tool with the shared
#   libraries they need (ldd) and the dynamic loader, and the static guest
#   programs TUNNEL_GUEST and USB_CHECK.
set -euo pipefail

if [ $# -ne 6 ]; then
  echo "usage: $0 CACHE OUT CLI TUNNEL_GUEST USB_CHECK INIT" >&2
  exit 2
fi
cache=$1 out=$2 cli=$3 tunnel=$4 check=$5 init=$6
# A cache that outlives build directories, when the environment names one.
cache=${HALVOREN_KERNEL_CACHE:-$cache}
die() { echo "guest_image.sh: $*" >&2; exit 1; }

for tool in apt-get apt-cache dpkg-deb modinfo cpio busybox ldd strip readelf python3; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/deps.sh installs what the kernel test needs)"
done
busybox=$(command -v busybox)
file -L "$busybox" | grep -q 'statically linked' || die "$busybox is not static (install busybox-static)"
usbip=
for p in /usr/sbin/usbip /usr/bin/usbip /sbin/usbip; do [ -x "$p" ] && usbip=$p && break; done
[ -n "$usbip" ] || die "Debian's usbip tool is missing (package usbip)"

# The modules that vhci-hcd and the virtio-serial ports need.
ROOT_MODULES="virtio_pci virtio_console vhci_hcd"

# The name of the kernel package linux-image-amd64 depends on now, as
# linux-image-6.1.0-NN-amd64 on Debian 12.
current_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[^ ]*-amd64\)$/\1/p' | head -n 1
}

refresh_lists() {
  if [ "$(id -u)" -eq 0 ]; then apt-get update -q >&2 || true; fi
}

# Writes the ELF kernel inside a bzImage compressed with xz, when it has a
# PVH entry (the Xen note PHYS32_ENTRY, 18); fails otherwise.
extract_vmlinux() {
  python3 - "$1" "$2" <<'PY' && readelf -n "$2" 2>/dev/null | grep -q 'note type: (0x00000012)' || { rm -f "$2"; return 1; }
import lzma, sys
data = open(sys.argv[1], "rb").read()
at = data.find(b"\xfd7zXZ\x00")
if at < 0:
    sys.exit(1)
elf = lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(data[at:])
if not elf.startswith(b"\x7fELF"):
    sys.exit(1)
open(sys.argv[2], "wb").write(elf)
PY
}

# Downloads and unpacks the kernel package into CACHE/PACKAGE: vmlinuz,
# modules/*.ko and modules/load-order.
fetch_kernel() {
  local pkg work
  pkg=$(current_package)
  if [ -z "$pkg" ]; then
    refresh_lists
    pkg=$(current_package)
  fi
  [ -n "$pkg" ] || die "cannot tell Debian's kernel package: apt-cache knows no linux-image-amd64 (is apt-get update done, and is Debian's mirror reachable?)"
  mkdir -p "$cache"
  work=$(mktemp -d "$cache/fetch.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  echo "Downloading $pkg (once; kept in $cache)" >&2
  if ! (cd "$work" && apt-get download -q "$pkg" >&2); then
    # The lists may be older than the mirror, which keeps only current kernels.
    refresh_lists
    pkg=$(current_package)
    (cd "$work" && apt-get download -q "$pkg" >&2) ||
      die "cannot download $pkg with apt-get download: the kernel test needs Debian's mirror the first time (later runs use $cache)"
  fi
  dpkg-deb -x "$work"/*.deb "$work/root"
  local vmlinuz moddir
  vmlinuz=$(ls "$work"/root/boot/vmlinuz-* | head -n 1)
  moddir=$(ls -d "$work"/root/lib/modules/*/ | head -n 1)
  [ -f "$vmlinuz" ] && [ -d "$moddir" ] || die "$pkg holds no vmlinuz or no modules"

  # Module name -> file; names treat '-' and '_' alike, as the kernel does.
  declare -A path=() done=()
  local f name
  while IFS= read -r f; do
    name=${f##*/}; name=${name%%.ko*}; name=${name//-/_}
    path[$name]=$f
  done < <(find "$moddir" -name '*.ko*')
  local order=()
  visit() {
    local m=$1 d
    [ -n "${done[$m]:-}" ] && return 0
    [ -n "${path[$m]:-}" ] || die "$pkg has no module $m (built in, or another kernel?)"
    done[$m]=1
    for d in $(modinfo -F depends "${path[$m]}" | tr ',' ' '); do visit "${d//-/_}"; done
    order+=("${path[$m]}")
  }
  for name in $ROOT_MODULES; do visit "$name"; done

  local kept="$work/kept"
  mkdir -p "$kept/modules"
  cp "$vmlinuz" "$kept/vmlinuz"
  # The same kernel uncompressed: QEMU boots it through its PVH entry, which
  # spares the guest the decompression of vmlinuz (xz under TCG: seconds).
  extract_vmlinux "$vmlinuz" "$kept/vmlinux" ||
    echo "Booting vmlinuz itself: no uncompressed kernel with a PVH entry could be had from it" >&2
  basename "$moddir" >"$kept/release"
  for f in "${order[@]}"; do
    cp "$f" "$kept/modules/"
    basename "$f" >>"$kept/modules/load-order"
  done
  rm -rf "${cache:?}/$pkg"
  mv "$kept" "$cache/$pkg"
  rm -rf "$work"
  trap - EXIT
  echo "Kept $pkg ($(cat "$cache/$pkg/release")) in $cache/$pkg" >&2
}

kernel=$(ls -d "$cache"/linux-image-*/ 2>/dev/null | sort -V | tail -n 1 || true)
if [ -z "$kernel" ] || [ ! -f "$kernel/modules/load-order" ]; then
  fetch_kernel
  kernel=$(ls -d "$cache"/linux-image-*/ | sort -V | tail -n 1)
fi
kernel=${kernel%/}

# The initramfs, made anew each time: the programs change with each build.
mkdir -p "$out"
root="$out/root"
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,usr/bin,usr/sbin,lib/modules,var/run}
cp "$busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
install -m 0755 "$init" "$root/init"
cp "$kernel"/modules/* "$root/lib/modules/"
strip -o "$root/usr/bin/halvoren-usbip" "$cli"
cp "$usbip" "$root/usr/sbin/usbip"
cp "$tunnel" "$root/bin/tunnel-guest"
cp "$check" "$root/bin/guest-usb-check"
# Shared libraries and the loader, each where ldd found it.
for lib in $(ldd "$cli" "$usbip" | sed -n 's/.*=> \(\/[^ ]*\) .*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p' | sort -u); do
  mkdir -p "$root$(dirname "$lib")"
  cp -L "$lib" "$root$lib"
done
for p in "$tunnel" "$check"; do
  file -L "$p" | grep -q 'statically linked' || die "$p is not linked statically"
done

(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$out/initramfs.cpio"
# The kernels stay in the cache; the test finds them here.
rm -f "$out/vmlinuz" "$out/vmlinux"
ln -s "$(cd "$kernel" && pwd)/vmlinuz" "$out/vmlinuz"
[ -f "$kernel/vmlinux" ] && ln -s "$(cd "$kernel" && pwd)/vmlinux" "$out/vmlinux"
cp "$kernel/release" "$out/release"
echo "Guest image: $(cat "$out/release"), initramfs $(( $(stat -c %s "$out/initramfs.cpio") / 1024 )) KiB in $out"
