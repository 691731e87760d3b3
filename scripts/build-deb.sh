#!/usr/bin/env bash
# Builds the Debian packages from these sources with dpkg-buildpackage:
# libhalvoren-usbip0 (the library), libhalvoren-usbip-dev (header, CMake and
# pkg-config files) and halvoren-usbip (the command line, its manual page
# and the systemd units), each with its -dbgsym package. The packaging is
# packaging/debian; the sources are copied, so the tree stays clean. Needs
# the build dependencies of packaging/debian/control (scripts/deps.sh
# installs them) and no network.
#   scripts/build-deb.sh OUT_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mkdir -p "${1:?usage: scripts/build-deb.sh OUT_DIR}" && cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

src=$work/halvoren-usbip
mkdir "$src"
# The files of the repository as they are now (tracked or new, not ignored:
# no build directories); a tree without git is copied whole but for them.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    xargs -0 cp --parents -t "$src"
else
  tar -c --exclude='./build*' --exclude=./.git . | tar -x -C "$src"
fi
cp -r packaging/debian "$src/debian"

(cd "$src" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
  dpkg-buildpackage --build=binary --no-sign --compression-level=1 >"$work/build.log" 2>&1) ||
  { tail -n 60 "$work/build.log"; echo "FAILED: dpkg-buildpackage (log above)" >&2; exit 1; }
cp "$work"/*.deb "$work"/*.ddeb "$work"/*.changes "$work"/*.buildinfo "$out/" 2>/dev/null || true
cp "$work/build.log" "$out/build.log"
ls "$out"/*.deb
