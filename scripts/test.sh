#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite three
# times: in a normal build (with a memcheck of a full cycle), in an
# AddressSanitizer + UndefinedBehaviorSanitizer build and in a
# ThreadSanitizer build; then runs every fuzz target for a bounded time.
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
./scripts/test-package.sh build
echo "== sanitizer build (ASan + UBSan)"
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DUSBIP_SANITIZE=ON -DUSBIP_BUILD_BENCH=OFF
echo "== sanitizer build (TSan)"
run_suite build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUSBIP_TSAN=ON -DUSBIP_BUILD_BENCH=OFF
echo "== fuzzing, ${USBIP_FUZZ_SECONDS:-10} s per target"
./scripts/fuzz.sh "${USBIP_FUZZ_SECONDS:-10}"
echo "== the Windows DLL: its suites under Wine, and cases across systems"
USBIP_LINUX_BUILD=build ./scripts/windows.sh
echo "== all tests passed"
