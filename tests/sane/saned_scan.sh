#!/bin/sh
# One scan through SANE's network daemon, all on the loopback address of a
# network namespace of its own, so nothing outside this machine is reached
# and no other saned on the machine is in the way of the fixed SANE port.
# Run as: unshare -n saned_scan.sh SERVER_CONFIG CLIENT_CONFIG DEVICE [scanimage args...]
# saned serves once (-o) and everything is bounded in time.
set -u
server_config=$1
client_config=$2
device=$3
shift 3
ip link set lo up || { echo "FAIL: no loopback in the namespace"; exit 1; }
SANE_CONFIG_DIR=$server_config timeout 90 saned -l -o -e -b 127.0.0.1 -d 1 2>"$server_config/saned.log" &
saned_pid=$!
tries=0
until ss -Hltn 'sport = :6566' | grep -q 6566; do
  tries=$((tries + 1))
  if [ "$tries" -gt 100 ]; then echo "FAIL: saned does not listen"; kill "$saned_pid"; exit 1; fi
  sleep 0.1
done
SANE_CONFIG_DIR=$client_config timeout 80 scanimage -d "net:127.0.0.1:$device" "$@"
status=$?
# saned ends after its one client; the bound is for a saned that hangs.
wait "$saned_pid"
# What saned forked for publishing itself on the network can outlive it:
# under the sanitizers' preloaded runtimes that child hangs on a lock held
# at the fork. timeout made saned's process group its own, so the group
# goes with everything still in it.
kill -KILL "-$saned_pid" 2>/dev/null
exit "$status"
