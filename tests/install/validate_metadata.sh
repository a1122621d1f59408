#!/usr/bin/env bash
# Validates the desktop entry and the AppStream metainfo as shipped.
# usage: validate_metadata.sh PACKAGING_DIR SCREENSHOTS_DIR
set -euo pipefail
packaging=$1
screenshots=$2
id=io.github.tavrindesk.TavrinDesk

for tool in desktop-file-validate appstreamcli; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is missing (scripts/setup installs desktop-file-utils and appstream)"
    exit 77
  fi
done

desktop-file-validate "$packaging/$id.desktop"
appstreamcli validate --no-net "$packaging/$id.metainfo.xml"

# The metainfo's screenshot is one of ours, and its launchable is the entry.
shot=$(sed -n 's|.*<image>.*/docs/screenshots/\([^<]*\)</image>.*|\1|p' "$packaging/$id.metainfo.xml")
[[ -n "$shot" && -f "$screenshots/$shot" ]] || { echo "FAIL: screenshot '$shot' not in docs/screenshots"; exit 1; }
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$packaging/$id.metainfo.xml" ||
  { echo "FAIL: the metainfo does not launch $id.desktop"; exit 1; }
grep -q "^Icon=$id\$" "$packaging/$id.desktop" || { echo "FAIL: the entry's icon is not $id"; exit 1; }
echo "metadata valid"
