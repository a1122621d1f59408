#!/bin/sh
# saned on the loopback address of a network namespace of its own, serving
# one client after the other, and three clients as people meet it:
#  1. the interactive source, refused at once (nobody sees a window here);
#  2. a feeder batch whose client is killed while it waits for a page: the
#     window must end within seconds, and the camera be free again;
#  3. a flatbed scan after it, which must work.
# Run as: unshare -n saned_client_gone.sh SERVER_CONFIG CLIENT_CONFIG DEVICE OUT WINDOW
# Prints one line a step; every wait is bounded.
set -u
server_config=$1
client_config=$2
device=net:127.0.0.1:$3
out=$4
window=$5
ip link set lo up || { echo "FAIL: no loopback in the namespace"; exit 1; }
# A sanitized backend needs its runtimes preloaded into saned, which loads
# it; the tools here must not have them (pgrep hangs for good with them).
preload=${LD_PRELOAD:-}
unset LD_PRELOAD
LD_PRELOAD=$preload SANE_CONFIG_DIR=$server_config timeout 120 saned -l -e -b 127.0.0.1 -d 1 \
  2>"$server_config/saned.log" &
saned_pid=$!
trap 'kill "$saned_pid" 2>/dev/null' EXIT
tries=0
until ss -Hltn 'sport = :6566' | grep -q 6566; do
  tries=$((tries + 1))
  if [ "$tries" -gt 100 ]; then echo "FAIL: saned does not listen"; exit 1; fi
  sleep 0.1
done
scan() { SANE_CONFIG_DIR=$client_config timeout 60 scanimage -d "$device" "$@"; }
windows() { pgrep -c -f "^$window" || true; }

scan --source "Camera (interactive)" --format=png -o "$out/interactive.png" 2>"$out/interactive.err"
echo "interactive: status $?"

SANE_CONFIG_DIR=$client_config scanimage -d "$device" --source "Automatic Document Feeder" \
  --feeder-wait 120 --format=png --batch="$out/feeder%d.png" 2>"$out/feeder.err" &
client=$!
tries=0
until [ "$(windows)" -gt 0 ]; do
  tries=$((tries + 1))
  if [ "$tries" -gt 300 ]; then echo "FAIL: no window for the feeder"; exit 1; fi
  sleep 0.1
done
sleep 1
kill -KILL "$client"
killed=$(date +%s%N)
tries=0
until [ "$(windows)" -eq 0 ] || [ "$tries" -gt 300 ]; do
  tries=$((tries + 1))
  sleep 0.1
done
echo "feeder: window ended $(( ($(date +%s%N) - killed) / 1000000 )) ms after the client was killed, $(windows) left"

scan --mode Gray --resolution 75 --format=png -o "$out/after.png" 2>"$out/after.err"
echo "flatbed after: status $?"
