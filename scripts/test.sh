#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite twice:
# in a normal build and in an AddressSanitizer + UndefinedBehaviorSanitizer
# build.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh

jobs=$(( $(nproc) * 3 ))
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300
}

echo "== normal build"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== sanitizer build (ASan + UBSan)"
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DUSBIP_SANITIZE=ON -DUSBIP_BUILD_BENCH=OFF
USBIP_LINUX_BUILD=build ./scripts/windows.sh  # the Windows DLL: its suites under Wine, cases across systems
echo "== all tests passed in both builds"
