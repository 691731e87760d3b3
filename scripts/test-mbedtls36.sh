#!/usr/bin/env bash
# The Linux library against Mbed TLS 3.6.6 (threading on), built from the
# sources in ../shared/deps, and the whole suite on it: the 3.6 side of
# src/tls_compat.h compiles and works. Without ../shared/deps (a user's
# machine) there is nothing to do.
set -euo pipefail
cd "$(dirname "$0")/.."
shared=../shared/deps
if [ ! -x "$shared/build-mbedtls.sh" ]; then
  echo "== Mbed TLS 3.6.6: $shared not found, skipped"
  exit 0
fi
./scripts/deps.sh

dir=build-mbedtls36
prefix=$PWD/$dir/mbedtls
if [ ! -f "$prefix/lib/libmbedtls.a" ]; then
  echo "== Mbed TLS 3.6.6 for Linux, threading on"
  "$shared/build-mbedtls.sh" "$prefix" >/dev/null
fi
echo "== build against Mbed TLS 3.6.6"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUSBIP_BUILD_BENCH=OFF \
  -DMBEDTLS_INCLUDE_DIR="$prefix/include" -DMBEDTLS_LIB="$prefix/lib/libmbedtls.a" \
  -DMBEDX509_LIB="$prefix/lib/libmbedx509.a" -DMBEDCRYPTO_LIB="$prefix/lib/libmbedcrypto.a" >/dev/null
cmake --build "$dir" -j "$(nproc)"
grep -q '^#define MBEDTLS_VERSION_STRING  *"3\.6\.6"' "$prefix/include/mbedtls/build_info.h"
ctest --test-dir "$dir" -j "$(( $(nproc) * 3 ))" --output-on-failure --timeout 300
echo "== all tests passed against Mbed TLS 3.6.6"
