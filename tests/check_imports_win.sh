#!/bin/sh
# The Windows DLL and programs import only system DLLs, the library's own
# DLL and libusb-1.0.dll: the C and C++ runtimes and winpthreads are linked
# in, so no MinGW runtime DLL has to travel with them. A system DLL is one
# that Windows (here: Wine's system folder) carries itself.
#   check_imports_win.sh SYSTEM32 FILE...
set -eu
system32=$1; shift
status=0
for file in "$@"; do
  for dll in $(x86_64-w64-mingw32-objdump -p "$file" | awk '/DLL Name:/ {print $3}'); do
    case $dll in
      halvoren-usbip.dll|libusb-1.0.dll) continue ;;
    esac
    if [ -z "$(find "$system32" -maxdepth 1 -iname "$dll" -print -quit)" ]; then
      echo "$(basename "$file") imports $dll, which is no system DLL"
      status=1
    fi
  done
  echo "$(basename "$file"): imports $(x86_64-w64-mingw32-objdump -p "$file" | awk '/DLL Name:/ {printf "%s ", $3}')"
done
exit $status
