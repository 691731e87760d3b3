#!/usr/bin/env bash
# Checks what a user of the project meets, against a finished build
# (scripts/test.sh runs it after the normal build):
#   - `cmake --install` into a temporary prefix, and a small C host built
#     against it through CMake and through pkg-config, and run;
#   - the sources added to another project with add_subdirectory;
#   - the Python package installed into a virtual environment, and its tests;
#   - the examples, built and run;
#   - every export of the public header in docs/reference.md;
#   - the Debian packages (scripts/build-deb.sh): lintian without errors,
#     what each package holds, a C host built against the unpacked ones,
#     the manual page, and the systemd units' confinement.
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
grep -qxF "ExecStart=$prefix/bin/halvoren-usbip relay --port \${HALVOREN_USBIP_RELAY_PORT} \$HALVOREN_USBIP_RELAY_OPTIONS" "${units[1]}" ||
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
# The tests run from a copy, so that they import the installed package; the
# copy keeps its place beside the header, which a test compares with the
# binding's error codes.
mkdir -p "$work/tree/bindings/python"
cp -r bindings/python/tests "$work/tree/bindings/python/tests"
cp -r include "$work/tree/include"
installed=$(cd "$work" && "$venv/bin/python" -c 'import halvoren_usbip as u; print(u.__file__, u.__version__)')
case $installed in
  "$venv"/*" $version") ;;
  *) fail "the venv imports '$installed', not the installed package of version $version" ;;
esac
(cd "$work/tree/bindings/python/tests" && HALVOREN_USBIP_LIBRARY="$prefix/lib/libhalvoren-usbip.so.${version%%.*}" \
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

step "Debian packages"
debian_version=$(dpkg-parsechangelog -l packaging/debian/changelog -S Version)
[ "$debian_version" = "$version" ] ||
  fail "packaging/debian/changelog is at $debian_version, the header at $version: add a changelog entry"
./scripts/build-deb.sh "$work/deb" >/dev/null
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib_deb=$work/deb/libhalvoren-usbip0_${version}_$arch.deb
dev_deb=$work/deb/libhalvoren-usbip-dev_${version}_$arch.deb
cli_deb=$work/deb/halvoren-usbip_${version}_$arch.deb
# Errors fail the check; what else lintian says is shown.
lintian_status=0
lintian --fail-on error --display-level '>=warning' "$work"/deb/*.changes >"$work/lintian.log" 2>&1 || lintian_status=$?
grep -v '^running with root privileges' "$work/lintian.log" | sed 's/^/  lintian: /' || true
[ "$lintian_status" = 0 ] || fail "lintian reports errors on the packages"
in_package() {  # DEB PATH...: each path is in the package
  local deb=$1; shift
  dpkg-deb -c "$deb" | awk '{print $6}' >"$work/deb-files"
  for f in "$@"; do grep -qxF "$f" "$work/deb-files" || fail "$f missing from $(basename "$deb")"; done
}
in_package "$lib_deb" ./usr/lib/$multiarch/libhalvoren-usbip.so.0 ./usr/lib/$multiarch/libhalvoren-usbip.so.$version \
  ./usr/share/doc/libhalvoren-usbip0/copyright ./usr/share/doc/libhalvoren-usbip0/changelog.gz
in_package "$dev_deb" ./usr/include/halvoren_usbip.h ./usr/lib/$multiarch/libhalvoren-usbip.so \
  ./usr/lib/$multiarch/pkgconfig/halvoren-usbip.pc ./usr/lib/$multiarch/cmake/halvoren-usbip/halvoren-usbip-config.cmake
in_package "$cli_deb" ./usr/bin/halvoren-usbip ./usr/share/man/man1/halvoren-usbip.1.gz \
  ./lib/systemd/system/halvoren-usbip-serve.service ./lib/systemd/system/halvoren-usbip-relay.service \
  ./usr/share/doc/halvoren-usbip/copyright ./usr/share/doc/halvoren-usbip/docs/deployment.md
[ "$(dpkg-deb -I "$lib_deb" shlibs)" = "libhalvoren-usbip 0 libhalvoren-usbip0 (>= $version)" ] ||
  fail "the library's shlibs file"
[ "$(dpkg-deb -I "$lib_deb" triggers | grep -cx "activate-noawait ldconfig")" = 1 ] ||
  fail "the library's ldconfig trigger"

unpacked=$work/unpacked
for deb in "$lib_deb" "$dev_deb" "$cli_deb"; do dpkg-deb -x "$deb" "$unpacked"; done
# The plain .pc names /usr; pkg-config puts the unpacked tree in front.
grep -qx "prefix=/usr" "$unpacked/usr/lib/$multiarch/pkgconfig/halvoren-usbip.pc" || fail "the .pc is not plain"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Werror -o "$work/consumer-deb" tests/package/consumer.c $(PKG_CONFIG_SYSROOT_DIR=$unpacked \
  PKG_CONFIG_LIBDIR=$unpacked/usr/lib/$multiarch/pkgconfig pkg-config --cflags --libs halvoren-usbip)
[ "$(LD_LIBRARY_PATH=$unpacked/usr/lib/$multiarch "$work/consumer-deb")" = "consumer $version" ] ||
  fail "C host against the packages"
# Built with every hardening flag: fortified calls, full RELRO.
for bin in "$unpacked/usr/lib/$multiarch/libhalvoren-usbip.so.$version" "$unpacked/usr/bin/halvoren-usbip"; do
  # (grep reads all: an early exit would fail readelf's write under pipefail)
  [ "$(readelf -d "$bin" | grep -c "BIND_NOW")" -gt 0 ] || fail "$(basename "$bin") is not linked with -z now"
  [ "$(readelf -s --wide "$bin" | grep -c "__.*_chk@")" -gt 0 ] || fail "$(basename "$bin") calls no fortified function"
done

# The manual page renders without a warning and names every command.
man_page=$unpacked/usr/share/man/man1/halvoren-usbip.1.gz
warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l "$man_page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the manual page: $warnings"
commands=$("$unpacked/usr/bin/halvoren-usbip" --help | sed -n '/^commands:/,/^$/s/^  \([a-z]\+\) .*/\1/p')
[ -n "$commands" ] || fail "no commands in the host's help"
for c in $commands; do
  [ "$(zcat "$man_page" | grep -cxF ".SS \"$c\"")" = 1 ] || fail "the manual page has no section for '$c'"
done

# The units: the installed host, the password from a file, descriptors
# enough, reload by SIGHUP, and confinement (systemd-analyze's exposure,
# 0 to 10: the relay below 5).
serve_unit=$unpacked/lib/systemd/system/halvoren-usbip-serve.service
relay_unit=$unpacked/lib/systemd/system/halvoren-usbip-relay.service
grep -q '^ExecStart=/usr/bin/halvoren-usbip serve .*--password-file ' "$serve_unit" ||
  fail "the serve unit does not read its password from a file"
if grep -q -- '--password ' "$serve_unit"; then fail "the serve unit puts a password on the command line"; fi
grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$serve_unit" || fail "the serve unit has no ExecReload"
for unit in "$serve_unit" "$relay_unit"; do
  grep -q '^LimitNOFILE=[0-9]' "$unit" || fail "$(basename "$unit") sets no LimitNOFILE"
done
if command -v systemd-analyze >/dev/null; then
  for unit in "$relay_unit" "$serve_unit"; do
    exposure=$(cd "$(dirname "$unit")" && systemd-analyze security --offline=true "$(basename "$unit")" 2>/dev/null |
      sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
    [ -n "$exposure" ] || fail "systemd-analyze security of $(basename "$unit")"
    echo "  $(basename "$unit"): exposure $exposure"
    case $unit in
      "$relay_unit") awk -v e="$exposure" 'BEGIN { exit !(e < 5) }' || fail "the relay unit's exposure is $exposure" ;;
    esac
  done
fi
cp "$work"/deb/*.deb "$build/"

echo "== package: all checks passed in $((SECONDS - started)) s"
