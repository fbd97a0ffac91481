#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Reception speed of Windows builds under Wine: 10 MiB of random bytes (every value) flooded
# through a COM port into the main window, then saved and compared. Give several Windows
# build folders (each with bench/bench_flood.exe) to compare them in one run, in turns.
#   bench/wine-flood.sh [--mib N] [--rounds N] BUILD-WIN...
set -euo pipefail
mib=10 rounds=2
while [ $# -gt 0 ]; do
    case "$1" in
    --mib) mib=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    *) break ;;
    esac
done
work=$(mktemp -d /tmp/salvex-flood.XXXXXX)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wineserver -k 2>/dev/null || true; }
trap cleanup EXIT
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
head -c $((mib * 1024 * 1024)) /dev/urandom > "$work/report.bin"
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3> "$work/display" > /dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"
wineboot --init > /dev/null 2>&1
wineserver -w

# The machine: a pseudo-terminal that answers each "W" with the report as fast as the line
# takes it (the simulator paces its answers at a real speed).
python3 - "$work/report.bin" "$work/com9" <<'PY' > "$work/machine.log" 2>&1 &
import os, select, sys, tty
report = open(sys.argv[1], "rb").read()
machine, device = os.openpty()
tty.setraw(device)
os.symlink(os.ttyname(device), sys.argv[2])
while True:
    select.select([machine], [], [])
    if b"W" in os.read(machine, 64):
        view = memoryview(report)
        while view:
            select.select([], [machine], [])
            view = view[os.write(machine, view[:65536]):]
PY
pids+=($!)
for _ in $(seq 100); do [ -e "$work/com9" ] && break; sleep 0.1; done
pty=$(readlink "$work/com9")
wine reg add 'HKLM\Software\Wine\Ports' /v COM9 /t REG_SZ /d "$pty" /f > /dev/null 2>&1
wineserver -w
ln -sfn "$pty" "$WINEPREFIX/dosdevices/com9"

export SALVEX_COM1=COM9
for round in $(seq "$rounds"); do
    for build in "$@"; do
        printf '%s, round %s: ' "$build" "$round"
        "$build/wine-run.sh" "$build/bench/bench_flood.exe" "$work/report.bin" 'C:\flood.xls' \
            2>> "$work/bench.log" \
            || echo "(failed; see $work/bench.log)"
    done
done
wineserver -k 2>/dev/null || true
rm -rf "$work"
