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
#
# Each stage prints the seconds it took as it ends, and all of them again at
# the end.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

times=()
timed() {  # LABEL COMMAND...: runs COMMAND, then prints and keeps its seconds
  local label=$1 t0=$SECONDS
  shift
  "$@"
  times+=("$(printf '%5d s  %s' $((SECONDS - t0)) "$label")")
  echo "== $label: $((SECONDS - t0)) s"
}

timed "dependencies" ./scripts/deps.sh

jobs=$(nproc)
build_dir() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir"
}
run_suite() {  # NAME DIR CMAKE_ARGS...
  local name=$1 dir=$2; shift 2
  timed "$name: build" build_dir "$dir" "$@"
  timed "$name: tests" ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300
}

echo "== normal build"
run_suite normal build -DCMAKE_BUILD_TYPE=RelWithDebInfo
timed "normal: package checks" ./scripts/test-package.sh build
asan_tls=()
asan_tls_name="Debian's Mbed TLS"
if [ -x ../shared/deps/build-mbedtls.sh ]; then
  prefix=$PWD/build-mbedtls36/mbedtls
  [ -f "$prefix/lib/libmbedtls.a" ] || timed "Mbed TLS 3.6.6" ../shared/deps/build-mbedtls.sh "$prefix" >/dev/null
  asan_tls=(-DMBEDTLS_INCLUDE_DIR="$prefix/include" -DMBEDTLS_LIB="$prefix/lib/libmbedtls.a"
            -DMBEDX509_LIB="$prefix/lib/libmbedx509.a" -DMBEDCRYPTO_LIB="$prefix/lib/libmbedcrypto.a")
  asan_tls_name="Mbed TLS 3.6.6"
fi
# The sanitizer builds keep line tables only (-g1): their reports name
# functions, files and lines all the same, and full debug information
# doubles the time to compile a test suite. ASan + UBSan stays at -O0;
# ThreadSanitizer runs at -O1.
echo "== sanitizer build (ASan + UBSan), $asan_tls_name"
run_suite asan build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_CXX_FLAGS_DEBUG=-g1 \
  -DUSBIP_SANITIZE=ON -DUSBIP_BUILD_BENCH=OFF "${asan_tls[@]}"
echo "== sanitizer build (TSan)"
run_suite tsan build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DUSBIP_TSAN=ON -DUSBIP_BUILD_BENCH=OFF
echo "== fuzzing, ${USBIP_FUZZ_SECONDS:-10} s per target"
timed "fuzzing" ./scripts/fuzz.sh "${USBIP_FUZZ_SECONDS:-10}"
echo "== the Windows DLL: its suites under Wine, and cases across systems"
timed "Windows" env USBIP_LINUX_BUILD=build ./scripts/windows.sh
echo "== stage times:"
printf '%s\n' "${times[@]}"
printf '%5d s  all\n' $((SECONDS - started))
echo "== all tests passed"
