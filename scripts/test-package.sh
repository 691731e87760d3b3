#!/usr/bin/env bash
# Checks what a user of the project meets, against a finished build
# (scripts/test.sh runs it after the normal build):
#   - `cmake --install` into a temporary prefix, and a small C host built
#     against it through CMake and through pkg-config, and run;
#   - the sources added to another project with add_subdirectory;
#   - the Python package installed into a virtual environment, and its tests;
#   - the examples, built and run;
#   - every export of the public header in docs/reference.md;
#   - `cpack -G DEB`, and what the package holds.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=$(cd "${1:?usage: scripts/test-package.sh BUILD_DIR}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
started=$SECONDS

step() { echo "== package: $*"; }
fail() { echo "FAILED: $*" >&2; exit 1; }

version=$(sed -n 's/^#define HALVOREN_USBIP_VERSION_STRING "\(.*\)"$/\1/p' include/halvoren_usbip.h)
[ -n "$version" ] || fail "no version in include/halvoren_usbip.h"

step "install into a temporary prefix"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
[ "$(ls "$prefix/include")" = halvoren_usbip.h ] || fail "installed headers: $(ls "$prefix/include")"
soname=$(objdump -p "$prefix/lib/libhalvoren-usbip.so" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = "libhalvoren-usbip.so.${version%%.*}" ] || fail "SONAME is '$soname'"
[ "$(readlink "$prefix/lib/libhalvoren-usbip.so")" = "$soname" ] || fail "the link for -l does not name the SONAME"
"$prefix/bin/halvoren-usbip" --version | grep -qx "halvoren-usbip $version" || fail "installed host's --version"
units=("$prefix"/lib/systemd/system/halvoren-usbip-{serve,relay}.service)
grep -qxF "ExecStart=$prefix/bin/halvoren-usbip relay --port \${HALVOREN_USBIP_RELAY_PORT}" "${units[1]}" ||
  fail "the relay unit does not start the installed host"
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify --man=no "${units[@]}" || fail "systemd-analyze verify of the units"
fi

step "C host through CMake (find_package)"
cmake -S tests/package -B "$work/consumer-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >"$work/consumer.log"
cmake --build "$work/consumer-cmake" >>"$work/consumer.log"
[ "$("$work/consumer-cmake/consumer")" = "consumer $version" ] || fail "CMake consumer"

step "C host through pkg-config"
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
[ "$(pkg-config --modversion halvoren-usbip)" = "$version" ] || fail "pkg-config version"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror -o "$work/consumer-pc" tests/package/consumer.c $(pkg-config --cflags --libs halvoren-usbip)
[ "$(LD_LIBRARY_PATH=$prefix/lib "$work/consumer-pc")" = "consumer $version" ] || fail "pkg-config consumer"
unset PKG_CONFIG_PATH

step "sources added with add_subdirectory"
# GoogleTest and Google Benchmark are out of reach, as on a machine without them.
cmake -S tests/package -B "$work/consumer-subdir" -G Ninja -DUSBIP_SOURCE_DIR="$src" --no-warn-unused-cli \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >"$work/subdir.log" ||
  { cat "$work/subdir.log"; fail "configure with add_subdirectory"; }
cmake --build "$work/consumer-subdir" -j2 >>"$work/subdir.log" || { cat "$work/subdir.log"; fail "build with add_subdirectory"; }
[ "$("$work/consumer-subdir/consumer")" = "consumer $version" ] || fail "add_subdirectory consumer"

step "Python package in a virtual environment"
venv=$work/venv
/usr/bin/python3 -m venv --system-site-packages "$venv"
# pip builds in the folder it is given: a copy keeps the sources clean.
cp -r bindings/python "$work/python-package"
"$venv/bin/pip" install -q --no-index --no-build-isolation "$work/python-package" >"$work/pip.log" 2>&1 ||
  { cat "$work/pip.log"; fail "pip install"; }
# The tests run from a copy, so that they import the installed package.
cp -r bindings/python/tests "$work/python-tests"
installed=$(cd "$work" && "$venv/bin/python" -c 'import halvoren_usbip as u; print(u.__file__, u.__version__)')
case $installed in
  "$venv"/*" $version") ;;
  *) fail "the venv imports '$installed', not the installed package of version $version" ;;
esac
(cd "$work/python-tests" && HALVOREN_USBIP_LIBRARY="$prefix/lib/libhalvoren-usbip.so.${version%%.*}" \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider .) || fail "tests of the installed Python package"

step "examples, on emulated USB devices"
# Two ports that were free a moment ago, and not the same one.
free_ports() { python3 -c 'import socket; a, b = socket.socket(), socket.socket(); a.bind(("", 0)); b.bind(("", 0)); print(a.getsockname()[1], b.getsockname()[1])'; }
with_devices=(umockdev-run --device tests/data/demo.umockdev --)
cmake -S examples -B "$work/examples" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >"$work/examples.log"
cmake --build "$work/examples" >>"$work/examples.log"
"${with_devices[@]}" "$work/examples/c_host" $(free_ports) >"$work/c_host.out" 2>&1 ||
  { cat "$work/c_host.out"; fail "examples/c_host.c"; }
HALVOREN_USBIP_LIBRARY="$prefix/lib/libhalvoren-usbip.so.${version%%.*}" "${with_devices[@]}" \
  "$venv/bin/python" examples/python_host.py $(free_ports) >"$work/python_host.out" 2>&1 ||
  { cat "$work/python_host.out"; fail "examples/python_host.py"; }
for out in c_host python_host; do
  grep -qx "shared: 2-2" "$work/$out.out" && grep -qx "the same list both ways" "$work/$out.out" ||
    { cat "$work/$out.out"; fail "examples/$out did not list its shared device back both ways"; }
done

step "reference docs"
tests/check_reference.sh include/halvoren_usbip.h docs/reference.md

step "Debian package"
(cd "$build" && cpack -G DEB -B "$work/deb" >"$work/cpack.log") || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/deb/halvoren-usbip_"$version"_*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' >"$work/deb-files"
for f in ./usr/lib/libhalvoren-usbip.so.0 ./usr/include/halvoren_usbip.h ./usr/bin/halvoren-usbip \
  ./usr/lib/systemd/system/halvoren-usbip-serve.service ./usr/lib/systemd/system/halvoren-usbip-relay.service \
  ./usr/lib/cmake/halvoren-usbip/halvoren-usbip-config.cmake ./usr/lib/pkgconfig/halvoren-usbip.pc; do
  grep -qxF "$f" "$work/deb-files" || fail "$f missing from the package"
done
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/systemd/system/halvoren-usbip-serve.service >"$work/serve.service"
grep -q '^ExecStart=/usr/bin/halvoren-usbip serve .*--password-file ' "$work/serve.service" ||
  fail "the serve unit does not read its password from a file"
if grep -q -- '--password ' "$work/serve.service"; then fail "the serve unit puts a password on the command line"; fi
cp "$deb" "$build/"

echo "== package: all checks passed in $((SECONDS - started)) s"
