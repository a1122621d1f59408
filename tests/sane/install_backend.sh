#!/usr/bin/env bash
# Installs the scanner backend alone (component "sane") into a temporary
# prefix, as a per-user install, and under DESTDIR with the prefix /usr,
# as the package does; then lets the dll backend of the real scanimage
# find it through the installed dll.d/tavrin and tavrin.conf.
# usage: install_backend.sh CMAKE BUILD_DIR PROGRAM_DIR MULTIARCH
set -euo pipefail
cmake=$1
build=$2
program_dir=$3
multiarch=$4

work=$(mktemp -d "${TMPDIR:-/tmp}/tavrin-sane-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

prefix=$work/prefix
"$cmake" --install "$build" --component sane --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "cmake --install"; }
[[ -f "$prefix/lib/sane/libsane-tavrin.so.1" ]] || fail "no $prefix/lib/sane/libsane-tavrin.so.1"
[[ -x "$prefix/lib/tavrindesk/tavrin-cameras" ]] || fail "no tavrin-cameras in the program folder"
grep -qx tavrin "$prefix/etc/sane.d/dll.d/tavrin" || fail "dll.d/tavrin does not name tavrin"
[[ "$(grep -v '^#' "$prefix/etc/sane.d/tavrin.conf")" == "$prefix/lib/tavrindesk" ]] ||
  fail "tavrin.conf names $(grep -v '^#' "$prefix/etc/sane.d/tavrin.conf")"

staged=$work/staged
DESTDIR=$staged "$cmake" --install "$build" --component sane --prefix /usr >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "cmake --install with DESTDIR"; }
[[ -f "$staged/usr/lib/$multiarch/sane/libsane-tavrin.so.1" ]] ||
  fail "not in the system backend folder: $(cd "$staged" && find . -name 'libsane-*')"
grep -qx tavrin "$staged/etc/sane.d/dll.d/tavrin" || fail "no /etc/sane.d/dll.d/tavrin"
[[ "$(grep -v '^#' "$staged/etc/sane.d/tavrin.conf")" == "/usr/lib/tavrindesk" ]] ||
  fail "the system tavrin.conf names $(grep -v '^#' "$staged/etc/sane.d/tavrin.conf")"

if ! [[ -x /usr/bin/scanimage ]]; then
  echo "SKIP: scanimage is not installed (Debian package sane-utils; scripts/setup)"
  exit 0
fi
# The rest of the program folder comes from the build: only the camera
# library is needed to list the device.
cp "$program_dir/libTavrinLens.so" "$prefix/lib/tavrindesk/"
mkdir -p "$work/home" "$work/tmp"
chmod 700 "$work/tmp"
# A sanitized backend needs the runtimes loaded before scanimage's own.
preload=()
[[ -n "${TAVRIN_SANE_PRELOAD:-}" ]] &&
  preload=(LD_PRELOAD="$TAVRIN_SANE_PRELOAD" ASAN_OPTIONS=detect_leaks=0)
out=$(env -i "${preload[@]}" PATH=/usr/bin:/bin HOME="$work/home" TMPDIR="$work/tmp" \
  SANE_CONFIG_DIR="$prefix/etc/sane.d" LD_LIBRARY_PATH="$prefix/lib/sane" \
  TAVRIN_LENS_V4L2=0 TAVRIN_LENS_VIRTUAL=document scanimage -L 2>&1)
[[ "$out" == *"device \`tavrin:Virtual Document Camera' is a TavrinDesk"* ]] ||
  fail "scanimage -L through the installed files: $out"
echo "PASS"
