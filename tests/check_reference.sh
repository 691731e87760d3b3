#!/bin/sh
# Every function the public header exports has a section of its own in the
# reference ("### `usbip_name`"), and the reference names no export that the
# header lacks.
set -eu
header=$1
reference=$2
exports=$(sed -n 's/^USBIP_API [^(]*[ *]\(usbip_[a-z_]*\)(.*/\1/p' "$header" | sort -u)
documented=$(sed -n 's/^### `\(usbip_[a-z_]*\)`.*/\1/p' "$reference" | sort -u)
[ "$(echo "$exports" | wc -l)" -eq 38 ] || { echo "expected 38 exports in $header, read: $exports"; exit 1; }
if [ "$exports" != "$documented" ]; then
  echo "exports and reference sections differ (< header only, > reference only):"
  printf '%s\n' "$exports" >"${TMPDIR:-/tmp}/exports.$$"
  printf '%s\n' "$documented" >"${TMPDIR:-/tmp}/documented.$$"
  diff "${TMPDIR:-/tmp}/exports.$$" "${TMPDIR:-/tmp}/documented.$$" || true
  rm -f "${TMPDIR:-/tmp}/exports.$$" "${TMPDIR:-/tmp}/documented.$$"
  exit 1
fi
echo "docs/reference.md describes all 38 exports"
