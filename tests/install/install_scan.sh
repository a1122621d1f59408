#!/usr/bin/env bash
# Installs the build into a temporary prefix and scans one page through
# P/bin/tavrin-scan against the installed window: once with the program
# folder writable (its files stay beside the program), once read-only
# (they go to $XDG_CONFIG_HOME/tavrindesk).
# usage: install_scan.sh CMAKE BUILD_DIR
set -euo pipefail
cmake=$1
build=$2
id=io.github.tavrindesk.TavrinDesk

work=$(mktemp -d "${TMPDIR:-/tmp}/tavrin-install-XXXXXX")
mounted=
cleanup() {
  [[ -n "$mounted" ]] && umount "$mounted" 2>/dev/null
  chmod -R u+w "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "cmake --install"; }

program=$prefix/lib/tavrindesk
for f in TavrinDesk tavrin-scan tavrindesk; do [[ -x "$program/$f" ]] || fail "$program/$f missing"; done
for f in libTavrinLens.so TavrinSource.ds Language/Language.xml Language/EN.xml; do
  [[ -f "$program/$f" ]] || fail "$program/$f missing"
done
for f in tavrin-scan tavrindesk; do
  [[ -L "$prefix/bin/$f" && "$(readlink -f "$prefix/bin/$f")" == "$(readlink -f "$program/$f")" ]] ||
    fail "$prefix/bin/$f is not a link into $program"
done
entry=$prefix/share/applications/$id.desktop
[[ -f "$entry" ]] || fail "no desktop entry"
grep -qx "Exec=\"$prefix/lib/tavrindesk/tavrindesk\"" "$entry" || fail "Exec of $entry: $(grep ^Exec "$entry")"
grep -qx "Exec=\"$prefix/lib/tavrindesk/tavrindesk\" --pdf" "$entry" || fail "Scan to PDF of $entry: $(grep ^Exec "$entry")"
if command -v desktop-file-validate >/dev/null; then desktop-file-validate "$entry"; fi
[[ -f "$prefix/share/metainfo/$id.metainfo.xml" ]] || fail "no metainfo"
[[ -f "$prefix/share/icons/hicolor/scalable/apps/$id.svg" ]] || fail "no SVG icon"
for size in 16 32 48 64 128 256; do
  png=$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png
  [[ -f "$png" ]] || fail "no $png"
  # Width and height are the big-endian words at bytes 16 and 20 of a PNG.
  dims=$(od -An -tu1 -j16 -N8 "$png" | awk '{print $3*256+$4 "x" $7*256+$8}')
  [[ "$dims" == "${size}x${size}" ]] || fail "$png is $dims"
done

# One scan from the installed program with a private home; prints where
# the delivered file went. $1 names the run.
scan() {
  local run=$1
  local home=$work/$run/home
  mkdir -p "$home" "$work/$run/tmp" "$work/$run/out"
  local status=0
  env -i PATH=/usr/bin:/bin HOME="$home" TMPDIR="$work/$run/tmp" XDG_CONFIG_HOME="$home/.config" \
    QT_QPA_PLATFORM=offscreen TAVRIN_LENS_V4L2=0 TAVRIN_LENS_VIRTUAL=document \
    "$prefix/bin/tavrin-scan" --mode 1 --count 1 --timeout 60 --output "$work/$run/out" \
    >"$work/$run/scan.log" 2>&1 || status=$?
  if [[ $status -ne 0 ]]; then
    cat "$work/$run/scan.log"
    fail "$run: tavrin-scan exited with $status"
  fi
  local delivered
  delivered=$(find "$work/$run/out" -type f -name 'page-001.*' -size +0 | wc -l)
  [[ "$delivered" -eq 1 ]] || { ls -la "$work/$run/out"; fail "$run: no page delivered"; }
}

# Writable: the per-user install keeps the files beside the program.
scan writable
[[ -f "$program/cfgInfo.xml" ]] || fail "writable: cfgInfo.xml not beside the data source"
[[ ! -e "$work/writable/home/.config/tavrindesk" ]] || fail "writable: a configuration folder was made"

# The desktop entry's "Scan to PDF": one PDF named after the minute in the
# documents folder, said where it is. Later options win, so the launcher's
# person-driven mode gives way to one capture.
home=$work/pdf/home
mkdir -p "$home" "$work/pdf/tmp"
env -i PATH=/usr/bin:/bin HOME="$home" TMPDIR="$work/pdf/tmp" XDG_CONFIG_HOME="$home/.config" \
  LANG=de_DE.UTF-8 QT_QPA_PLATFORM=offscreen TAVRIN_LENS_V4L2=0 TAVRIN_LENS_VIRTUAL=document \
  "$program/tavrindesk" --pdf --mode 1 --count 1 --timeout 60 >"$work/pdf/scan.log" 2>&1 ||
  { cat "$work/pdf/scan.log"; fail "Scan to PDF failed"; }
pdfs=("$home"/Documents/Scan\ ????-??-??\ ??.??.pdf)
[[ -f "${pdfs[0]}" && ${#pdfs[@]} -eq 1 ]] || { cat "$work/pdf/scan.log"; fail "Scan to PDF: ${pdfs[*]}"; }
grep -qxF "Your scan is in ${pdfs[0]}" "$work/pdf/scan.log" || { cat "$work/pdf/scan.log"; fail "Scan to PDF did not say where"; }
rm -f "$program/cfgInfo.xml" "$program/LastSetting.xml"

# Read-only: root writes through mode bits, so it needs a read-only mount.
if [[ $(id -u) -eq 0 ]]; then
  if mount --bind "$program" "$program" 2>/dev/null; then
    mounted=$program
    mount -o remount,bind,ro "$program" || fail "cannot remount $program read-only"
  else
    echo "SKIP: root without mount(8) rights cannot make the install read-only"
    exit 77
  fi
else
  chmod -R a-w "$program"
fi
touch "$program/probe" 2>/dev/null && fail "$program is still writable"

scan readonly
config=$work/readonly/home/.config/tavrindesk
[[ -f "$config/cfgInfo.xml" ]] || fail "read-only: cfgInfo.xml not in $config"
grep -q "<Name>" "$config/cfgInfo.xml" || fail "read-only: $config/cfgInfo.xml names no block"
[[ ! -e "$program/cfgInfo.xml" ]] || fail "read-only: cfgInfo.xml in the program folder"
echo "installed scan delivered, writable and read-only"
