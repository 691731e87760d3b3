#!/usr/bin/env bash
# The Windows DLL, built here and tested under Wine:
#   1. installs what is missing (mingw-w64, Wine, ...), as deps.sh does;
#   2. cross-builds libusb (a DLL of its own: LGPL-2.1) and Mbed TLS (static,
#      threading on) once into build-windows/deps/, from Debian's source
#      packages or, where ../shared/deps exists, Mbed TLS 3.6.6 from there;
#   3. builds halvoren-usbip.dll (with its import library and .def file),
#      halvoren-usbip.exe and the tests, and checks the DLL's exports and
#      imports;
#   4. runs the tests under Wine, then the cases across systems against
#      the Linux build (scripts/interop.sh; USBIP_LINUX_BUILD names a Linux
#      build folder to take the Linux host from);
#   5. leaves build-windows/dist/: the DLL, the exe, the public header, the
#      import library and libusb-1.0.dll.
# Set USBIP_WINDOWS_MBEDTLS=debian to use Debian's Mbed TLS 2.28 even where
# ../shared/deps exists.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-windows
deps=$out/deps
build=$out/build
dist=$out/dist
jobs=2
triple=x86_64-w64-mingw32

stamp() { date +%s; }
t_start=$(stamp)

# ---------------------------------------------------------------------------
# 1. Packages: the Linux side (for the cases across systems) needs what
# deps.sh installs; the Windows side the cross-compilers, Wine, GoogleTest's
# sources and dpkg-source for Debian's source packages.
./scripts/deps.sh g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 googletest dpkg-dev xz-utils

wine=$(command -v wine || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver

# ---------------------------------------------------------------------------
# 2. Dependencies, built once.
mkdir -p "$deps"
shared_deps=$root/../shared/deps
mbedtls_kind=debian
if [ "${USBIP_WINDOWS_MBEDTLS:-}" != debian ] && [ -x "$shared_deps/build-mbedtls.sh" ]; then
  mbedtls_kind=3.6.6
fi

# Debian's source packages, fetched through private package lists: the
# machine's apt configuration stays untouched.
fetch_source() {
  local name=$1 apt=$out/apt
  mkdir -p "$apt/parts" "$apt/lists/partial" "$apt/cache/archives/partial" "$out/src"
  if [ ! -f "$apt/parts/src.sources" ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$apt/parts/src.sources"
  fi
  local opts=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt/parts"
              -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache")
  # apt's download user cannot write into this folder: root downloads itself.
  [ "$(id -u)" -ne 0 ] || opts+=(-o APT::Sandbox::User=root)
  if [ ! -f "$apt/updated" ]; then
    apt-get "${opts[@]}" update -q >/dev/null
    touch "$apt/updated"
  fi
  (cd "$out/src" && apt-get "${opts[@]}" source --download-only -q "$name" >/dev/null)
}

# Unpacks the newest fetched source package whose name starts with $1 into
# $2 (Debian's patches applied).
unpack_source() {
  local prefix=$1 dir=$2 dsc
  dsc=$(ls "$out/src/$prefix"_*.dsc | sort -V | tail -n 1)
  rm -rf "$dir"
  dpkg-source --no-check -x "$dsc" "$dir" >/dev/null
}

if [ ! -f "$deps/bin/libusb-1.0.dll" ]; then
  t0=$(stamp)
  echo "== libusb-1.0 for Windows (Debian's source package)"
  ls "$out"/src/libusb-1.0_*.dsc >/dev/null 2>&1 || fetch_source libusb-1.0
  unpack_source libusb-1.0 "$out/src/libusb"
  # A DLL of its own (LGPL-2.1: users may replace it), with its C runtime
  # inside; the win32 compiler, as libusb uses Windows threads itself.
  (cd "$out/src/libusb" &&
    ./configure --host=$triple --prefix="$deps" --disable-static --enable-shared \
      CC=$triple-gcc LDFLAGS="-static-libgcc" && make -j$jobs && make install) >"$out/libusb-build.log" 2>&1 ||
    { tail -n 40 "$out/libusb-build.log"; echo "libusb: build failed (log: $out/libusb-build.log)"; exit 1; }
  echo "   libusb built in $(( $(stamp) - t0 )) s"
fi

if [ ! -f "$deps/mbedtls-$mbedtls_kind" ]; then
  t0=$(stamp)
  rm -f "$deps"/mbedtls-* "$deps"/lib/libmbed*.a
  rm -rf "$deps/include/mbedtls" "$deps/include/psa"
  if [ $mbedtls_kind = 3.6.6 ]; then
    echo "== Mbed TLS 3.6.6 for Windows, threading on ($shared_deps)"
    CC=$triple-gcc-posix AR=$triple-ar "$shared_deps/build-mbedtls.sh" "$deps" >"$out/mbedtls-build.log" 2>&1 ||
      { tail -n 40 "$out/mbedtls-build.log"; echo "Mbed TLS: build failed"; exit 1; }
  else
    echo "== Mbed TLS for Windows, threading on (Debian's source package)"
    ls "$out"/src/mbedtls_*.dsc >/dev/null 2>&1 || fetch_source mbedtls
    unpack_source mbedtls "$out/src/mbedtls"
    cfg=$out/src/mbedtls/include/mbedtls/config.h
    # Concurrent handshakes share the generator and the key's blinding
    # state: Mbed TLS must lock them itself (winpthreads underneath).
    sed -i 's|^//#define MBEDTLS_THREADING_C$|#define MBEDTLS_THREADING_C|; s|^//#define MBEDTLS_THREADING_PTHREAD$|#define MBEDTLS_THREADING_PTHREAD|' "$cfg"
    grep -q '^#define MBEDTLS_THREADING_C$' "$cfg" && grep -q '^#define MBEDTLS_THREADING_PTHREAD$' "$cfg"
    { cmake -S "$out/src/mbedtls" -B "$out/src/mbedtls-build" -G Ninja -DCMAKE_SYSTEM_NAME=Windows \
        -DCMAKE_C_COMPILER=$triple-gcc-posix -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" \
        -DENABLE_TESTING=OFF -DENABLE_PROGRAMS=OFF -DUSE_SHARED_MBEDTLS_LIBRARY=OFF \
        -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DMBEDTLS_FATAL_WARNINGS=OFF &&
      cmake --build "$out/src/mbedtls-build" -j $jobs && cmake --install "$out/src/mbedtls-build"
    } >"$out/mbedtls-build.log" 2>&1 || { tail -n 40 "$out/mbedtls-build.log"; echo "Mbed TLS: build failed"; exit 1; }
  fi
  touch "$deps/mbedtls-$mbedtls_kind"
  echo "   Mbed TLS built in $(( $(stamp) - t0 )) s"
fi
t_deps=$(stamp)

# ---------------------------------------------------------------------------
# 3. The DLL, the exe and the tests.
echo "== Windows build (Mbed TLS $mbedtls_kind)"
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DUSBIP_WINDOWS_DEPS="$deps" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUSBIP_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j $jobs
t_build=$(stamp)

# Under Wine: a prefix of the build's own, made once (the first start takes
# seconds), and one Wine server for the whole run that never ends while
# idle. A server that Wine starts by itself ends a few seconds after its
# last program (shutting Wine's own processes down first); CTest starts the
# test programs in parallel, and one that connects while the server goes
# away dies before its first line ("wine client error:0: recvmsg:
# Connection reset by peer"). `wineserver -p` refuses to start while
# another server of the prefix runs, so the server that made the prefix (or
# one left by a run that was stopped) must have ended first.
export WINEPREFIX=$out/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w 2>/dev/null || true
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== Wine prefix"
  "$wine" wineboot -i >/dev/null 2>&1 || true
  "$wineserver" -w  # it saves the new prefix as it ends
fi
"$wineserver" -p
trap '"$wineserver" -k 2>/dev/null || true' EXIT
# Wine's own processes (services, explorer) start with the first program:
# started here, they hold no pipe of a test, which CTest would wait on.
bin=$build/bin
cp "$deps/bin/libusb-1.0.dll" "$bin/"
"$wine" "$bin/halvoren-usbip.exe" list </dev/null >/dev/null 2>&1
./tests/check_exports.sh "$bin/halvoren-usbip.dll"
./tests/check_imports_win.sh "$WINEPREFIX/drive_c/windows/system32" \
  "$bin/halvoren-usbip.dll" "$bin/halvoren-usbip.exe" "$bin/libusb-1.0.dll"

rm -rf "$dist"
mkdir -p "$dist"
cp "$bin/halvoren-usbip.dll" "$bin/halvoren-usbip.exe" "$bin/libusb-1.0.dll" "$dist/"
cp "$build/libhalvoren-usbip.dll.a" "$build/halvoren-usbip.def" include/halvoren_usbip.h "$dist/"
$triple-strip --strip-debug "$dist/halvoren-usbip.dll" "$dist/halvoren-usbip.exe"

# ---------------------------------------------------------------------------
# 4. The tests under Wine, then the cases across systems against the Linux
# command-line host (of USBIP_LINUX_BUILD when given, e.g. the test
# command's normal build; else a build of its own).
echo "== tests under Wine"
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure --timeout 300
t_tests=$(stamp)

linux_build=${USBIP_LINUX_BUILD:-$out/linux}
if [ ! -f "$linux_build/build.ninja" ]; then
  cmake -S . -B "$linux_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DUSBIP_BUILD_TESTS=OFF -DUSBIP_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$linux_build" -j $jobs --target halvoren-usbip-cli >/dev/null
echo "== across systems (Windows under Wine, Linux)"
./scripts/interop.sh "$dist" "$linux_build/tools/halvoren-usbip"
t_interop=$(stamp)

echo "== Windows: dependencies $(( t_deps - t_start )) s, build $(( t_build - t_deps )) s," \
     "tests under Wine $(( t_tests - t_build )) s, across systems $(( t_interop - t_tests )) s"
echo "== build-windows/dist:"
ls -l "$dist"
