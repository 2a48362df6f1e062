#!/usr/bin/env bash
# Installs what is needed, builds, and runs the daemon inside the simulated
# handset for a few seconds: feeds it some kernel-log text and main-log
# entries, talks to it with vexctl, then shows what it posted to the kernel
# log and what it wrote into its log directory.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/install-deps.sh"
# Only what the demo runs: the daemon, its client and log reader, and the
# handset's device server, store and main-log feeder (tests and benchmarks
# are built by scripts/test.sh and bench/run.sh).
bash "$here/scripts/build.sh" plain vexd vexctl vexlog morvane simdevd nvkeep logfeed

# The handset's state folder lives outside the tree and starts empty, so
# each run shows only its own logs.
state=${VEXD_DEMO_STATE:-${TMPDIR:-/tmp}/vexd-demo}
hs=("$here/sim/handset" --state "$state" --build "$here/build")
"${hs[@]}" stop >/dev/null 2>&1 || true
rm -rf "$state"

echo "=== starting vexd in the simulated handset (state folder, emptied first: $state) ==="
"${hs[@]}" start
trap '"${hs[@]}" stop >/dev/null 2>&1 || true' EXIT
sleep 2

"${hs[@]}" feed-kmsg '<6>[  100.000000] demo: hello from the kernel log'
"$here/build/sim/logfeed" --fifo "$state/logmain.fifo" --pri 4 --tag Demo --pid 4242 \
    --msg "hello from the main log" --count 3
echo "=== vexctl ping, then vexctl archive (prints the archive path) ==="
"${hs[@]}" exec /system/bin/vexctl ping && echo "ping: status 0"
"${hs[@]}" exec /system/bin/vexctl archive
echo "=== the archive, copied out of the handset ==="
"${hs[@]}" pull /qordebug/logs.zip "$state/logs.zip"
unzip -l "$state/logs.zip"
echo "=== the starts in the archive, and the main log of the last one (vexlog) ==="
"$here/build/tools/vexlog" --list-starts "$state/logs.zip"
"$here/build/tools/vexlog" "$state/logs.zip" --start 0 main
sleep 1

echo
echo "=== kernel log lines posted by vexd ==="
cat "$state/kmsg.log"
echo
echo "=== log directory /qordebug ==="
"${hs[@]}" exec ls -l /qordebug/
echo
echo "=== daemon log (vexd_vexdlog.txt) ==="
"${hs[@]}" exec cat /qordebug/vexd_vexdlog.txt
echo
echo "=== kernel log (vexd_syslog.txt) ==="
"${hs[@]}" exec cat /qordebug/vexd_syslog.txt
echo
echo "=== main log (vexd_logcat.txt) ==="
"${hs[@]}" exec cat /qordebug/vexd_logcat.txt
"${hs[@]}" stop >/dev/null 2>&1 || true
trap - EXIT
echo
echo "=== the handset's files stay in $state (kernel log: $state/kmsg.log, /system: $state/system) ==="
