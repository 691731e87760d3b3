#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite three
# times: in a normal build (with a memcheck of a full cycle, then the
# package checks), in an AddressSanitizer + UndefinedBehaviorSanitizer
# build and in a ThreadSanitizer build; runs every fuzz target for a
# bounded time; then builds the Windows DLL, runs its suites under Wine and
# the cases across systems.
#
# Where the sources of Mbed TLS 3.6 are at hand (../shared/deps), the
# ASan + UBSan build uses Mbed TLS 3.6.6 instead of Debian's 2.28, so that
# both lines are tested without a build more.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/deps.sh

jobs=$(nproc)
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300
}

echo "== normal build"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
./scripts/test-package.sh build
asan_tls=()
asan_tls_name="Debian's Mbed TLS"
if [ -x ../shared/deps/build-mbedtls.sh ]; then
  prefix=$PWD/build-mbedtls36/mbedtls
  [ -f "$prefix/lib/libmbedtls.a" ] || ../shared/deps/build-mbedtls.sh "$prefix" >/dev/null
  asan_tls=(-DMBEDTLS_INCLUDE_DIR="$prefix/include" -DMBEDTLS_LIB="$prefix/lib/libmbedtls.a"
            -DMBEDX509_LIB="$prefix/lib/libmbedx509.a" -DMBEDCRYPTO_LIB="$prefix/lib/libmbedcrypto.a")
  asan_tls_name="Mbed TLS 3.6.6"
fi
echo "== sanitizer build (ASan + UBSan), $asan_tls_name"
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DUSBIP_SANITIZE=ON -DUSBIP_BUILD_BENCH=OFF "${asan_tls[@]}"
echo "== sanitizer build (TSan)"
run_suite build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUSBIP_TSAN=ON -DUSBIP_BUILD_BENCH=OFF
echo "== fuzzing, ${USBIP_FUZZ_SECONDS:-10} s per target"
./scripts/fuzz.sh "${USBIP_FUZZ_SECONDS:-10}"
echo "== the Windows DLL: its suites under Wine, and cases across systems"
USBIP_LINUX_BUILD=build ./scripts/windows.sh
echo "== all tests passed"
