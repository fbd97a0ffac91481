#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Screenshots of the Windows program under Wine while a slow port opens: COM7, a
# pseudo-terminal whose opening slowed by slowopen.c for DELAY seconds, is the entry COM1.
# The first, 1.5 s after "Abrir puerto", shows the window drawn while the opening waits (and
# checks that it paints again when uncovered); the second the box that tells the port open.
#   slowopen.sh [BUILD [DELAY [SCREENSHOTS]]]
# BUILD defaults to build-win, DELAY to 6, SCREENSHOTS (the folder that receives
# wine-slow-opening.png and wine-slow-opened.png) to BUILD/screenshots.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(realpath "${1:-$root/build-win}") delay=${2:-6}
shots=${3:-$build/screenshots}
work=$(mktemp -d /tmp/salvex-slowopen.XXXXXX)
pids=()
fail() { echo "FAIL: $*" >&2; echo "evidence in $work" >&2; exit 1; }
# shellcheck source=SCRIPTDIR/../e2e/operator.sh
. "$root/tests/e2e/operator.sh"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
unset WINEPATH QT_QPA_PLATFORM WINEQT_QPA_PLATFORM QT_PLUGIN_PATH WINEQT_PLUGIN_PATH LC_ALL LC_MESSAGES
export LANG=es_ES.UTF-8
cleanup() {
    wineserver -k 2>/dev/null || true
    stop_started
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

ls "$build"/salvex-*-win64.zip > /dev/null 2>&1 || (cd "$build" && cpack -G ZIP > /dev/null)
unzip -q "$(ls "$build"/salvex-*-win64.zip | head -n 1)" -d "$work/zip"
program=$(dirname "$(find "$work/zip" -name salvex.exe | head -n 1)")
gcc -shared -fPIC -O2 -o "$work/slowopen.so" "$here/slowopen.c" -ldl

# The line: a pseudo-terminal held open, reached through $work/com7. ptyhost.py keeps COM1 to
# COM4 and the host's own serial devices out of the prefix (and wires COM5 to it too).
python3 -c 'import os, sys, time, tty
m, d = os.openpty(); tty.setraw(d); os.symlink(os.ttyname(d), sys.argv[1]); time.sleep(1e6)' \
    "$work/com7" &
pids+=($!)
for _ in $(seq 50); do [ -L "$work/com7" ] && break; sleep 0.1; done
python3 "$here/ptyhost.py" --wire "$WINEPREFIX" "$work/com7"
ln -s "$work/com7" "$WINEPREFIX/dosdevices/com7"
wineserver -w

virtual_display
window_manager "${SALVEX_WINE_WM:-icewm}"
# The shim slows the lookup of COM7 on the thread that opens it (see slowopen.c).
(cd "$program" && SALVEX_COM1=COM7 SALVEX_SLOW_OPEN_NAME=com7 SALVEX_SLOW_OPEN_SECONDS=$delay \
    LD_PRELOAD="$work/slowopen.so" exec wine salvex.exe) > "$work/salvex.log" 2>&1 &
pids+=($!)
main='^SALVEX BY BREL' box='^SALVEX$'
ok() { # Aceptar, at the bottom right of the message box
    # shellcheck disable=SC2034 # all set by getwindowgeometry --shell
    local w WIDTH HEIGHT X Y SCREEN WINDOW
    w=$(window "$box"); sleep 0.3
    eval "$(xdotool getwindowgeometry --shell "$w")"
    xdotool mousemove --window "$w" $((WIDTH - 49)) $((HEIGHT - 23)) click 1
    sleep 0.5
}
ok                                           # the reminder
click "$main" 1267 6607                      # Abrir puerto
sleep 1                                      # (click already waited 0.5 s)
import -window root "$work/opening.png"
# Drawn, not blank: a window of one or two colours has not been painted.
[ "$(convert "$work/opening.png" -format %k info:)" -gt 50 ] || fail "the window is blank while opening"
# Live, not a last picture left on the screen: another window covers most of it and goes;
# a window whose thread waits in the opening could not paint the uncovered part again.
xmessage -geometry 380x300+200+80 "-" & cover=$!
sleep 0.8; kill "$cover"; wait "$cover" 2> /dev/null || true; sleep 1
import -window root "$work/uncovered.png"
differ=$(compare -metric AE "$work/opening.png" "$work/uncovered.png" null: 2>&1 || true)
[ "${differ%% *}" -lt 2000 ] || fail "the window did not paint again while opening ($differ pixels differ)"
xdotool search --onlyvisible --name "$box" > /dev/null 2>&1 && fail "the opening ended before ${delay} s"
window "$box" > /dev/null; sleep 1.5         # Puerto COM 1: abierto OK
import -window root "$work/opened.png"
ok
mkdir -p "$shots"
cp "$work/opening.png" "$shots/wine-slow-opening.png"
cp "$work/opened.png" "$shots/wine-slow-opened.png"
echo "slowopen: screenshots in $shots; logs in $work"
