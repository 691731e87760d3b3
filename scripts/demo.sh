#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo: lists this machine's
# USB devices, or emulated ones (umockdev) when the machine has none.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build

cli=build/tools/halvoren-usbip
run=()
if [ "$("$cli" list --json 2>/dev/null || true)" = "[]" ] || ! "$cli" list --json >/dev/null 2>&1; then
  echo "No USB devices here: using emulated devices (tests/data/demo.umockdev)."
  run=(umockdev-run --device tests/data/demo.umockdev --)
fi

echo
echo "== local devices"
"${run[@]}" "$cli" list
