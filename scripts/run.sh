#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up and builds salvex, starts the machine simulator and the terminal with COM1 wired
# to it. Open COM1 at 9600 bauds, press "Recibir Datos" and the takings report arrives.
# Without a display, the same collection runs under a virtual display and its screenshot
# is left in a file whose path is printed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build="${SALVEX_BUILD:-build}"

work=$(mktemp -d /tmp/salvex-run.XXXXXX)
link="$work/com1"
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

"$build/tools/salvex-sim" --link "$link" > "$work/sim.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
[ -e "$link" ] || { cat "$work/sim.log"; echo "the simulator did not start" >&2; exit 1; }
export SALVEX_COM1="$link"

if [ -n "${DISPLAY:-}" ] && [ -z "${SALVEX_HEADLESS:-}" ]; then
    echo "COM1 is the machine simulator ($link)."
    "$build/app/salvex"
    exit $?
fi

# No display: play the operator under a virtual one.
# Xvfb picks a free display itself and tells its number once it is ready.
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3> "$work/display" > "$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xvfb.log"; echo "no virtual display" >&2; exit 1; }
export DISPLAY=":$(cat "$work/display")"

"$build/app/salvex" > "$work/salvex.log" 2>&1 &
pids+=($!)

window() { xdotool search --sync --onlyvisible --name "$1" 2>/dev/null | head -n 1; }
# Presses OK on the message box that is up.
dismiss() {
    local box
    box=$(window '^SALVEX$')
    xdotool windowfocus --sync "$box"
    xdotool key Return
    sleep 0.5
}
# Clicks a point of the main window given in twips.
click() {
    local main
    main=$(window 'SALVEX BY BREL')
    xdotool mousemove --window "$main" $(($1 / 15)) $(($2 / 15)) click 1
    sleep 0.5
}

sleep 1
dismiss                      # "Recuerde, debe abrir un puerto antes de empezar a usarlo"
click 1267 6607              # Abrir puerto
dismiss                      # "Puerto COM 1: abierto OK"
click 967 3967               # Recibir Datos
sleep 5                      # the report arrives at the pace of a 9600 baud line
shot="$work/salvex.png"
import -window root "$shot"
echo "Screenshot of the collection: $shot"
