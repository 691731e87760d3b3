#!/usr/bin/env bash
# Installs the Debian packages that building, testing and benchmarking need,
# and any further packages named as arguments (scripts/windows.sh names its
# own). Does nothing when every package is already present, so a warm run
# stays fast.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ pkg-config
  libusb-1.0-0-dev libmbedtls-dev
  libgtest-dev libbenchmark-dev
  umockdev libumockdev-dev
  tshark wireshark-common openssl
  nlohmann-json3-dev python3 python3-pytest socat iproute2
  valgrind clang libclang-rt-14-dev
  python3-venv python3-setuptools python3-wheel usb.ids dpkg-dev file
  usbip debhelper lintian
  qemu-system-x86 busybox-static cpio kmod
)
PACKAGES+=("$@")

# One query for all of them (a dpkg call per package takes seconds in all).
# (dpkg-query fails when it knows a package not at all: a missing one.)
installed=" $({ dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' "${PACKAGES[@]}" 2>/dev/null || true; } |
  awk '$1 == "ii" {printf "%s ", $2}')"
missing=()
for p in "${PACKAGES[@]}"; do
  [[ $installed == *" $p "* ]] || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
run() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo -E "$@"; fi; }
export DEBIAN_FRONTEND=noninteractive
run apt-get update -q
run apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
