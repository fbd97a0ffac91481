#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The installed Windows program end to end under Wine, as an operator's PC would have it:
# a fresh Wine prefix, the installer run silently, the machine simulator on COM5 of a PC
# without COM1 to COM4, one collection from the entry COM1 driven from outside on a virtual
# display with a window manager, the saved file checked byte for byte, then a silent
# uninstall that must leave nothing behind.
#   installed.sh INSTALLER SIMULATOR [SCREENSHOTS]
# INSTALLER is salvex-<version>-win64.exe; SIMULATOR the Linux salvex-sim. SCREENSHOTS, a
# folder, receives windows-collection.png, windows-save-dialog.png, windows-about.png and
# windows-port-list-tooltip.png.
set -euo pipefail
installer=$(realpath "$1") sim=$(realpath "$2") shots=${3:-}
e2e=$(cd "$(dirname "$0")/../e2e" && pwd)
work=$(mktemp -d /tmp/salvex-wine.XXXXXX)
mkdir "$work/out"
pids=()
fail() { echo "FAIL: $*" >&2; echo "evidence in $work" >&2; exit 1; }
# shellcheck source=SCRIPTDIR/../e2e/operator.sh
. "$e2e/operator.sh"

export WINEPREFIX="$work/prefix" WINEDEBUG=-all
# No Mono or Gecko to offer, and no menu entries or icons written into the Linux desktop.
export WINEDLLOVERRIDES="mscoree=;mshtml=;winemenubuilder.exe=d"
# Only what the installer put beside the program: no Qt or compiler folders on the path, no
# plugin or platform chosen from outside (Wine passes WINEQT_* on as QT_*).
unset WINEPATH QT_QPA_PLATFORM WINEQT_QPA_PLATFORM QT_PLUGIN_PATH WINEQT_PLUGIN_PATH
# Wine takes the Windows locale from these; Qt's Spanish buttons follow it.
unset LC_ALL LC_MESSAGES
export LANG=es_ES.UTF-8
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wineserver -k 2>/dev/null || true
}
trap cleanup EXIT

# The report: text lines with accents, then every byte value from 0 to 255 in order.
python3 - "$work/report.bin" <<'PY'
import sys
lines = [b"MAQUINA 0042  RECAUDACION", b"A\xf1o \xe9xito \xbfcr\xe9ditos?"]
lines += [b"CONTADOR %02d ENTRADAS %06d SALIDAS %06d" % (i, i * 125, i * 37) for i in range(10)]
lines += [bytes(range(256)), b"TOTAL 000123456"]
open(sys.argv[1], "wb").write(b"\r\n".join(lines) + b"\r\n")
PY

virtual_display
# A desktop has a window manager, as Windows always has: Wine 10 hides a window with a frame
# only once one has taken it (it waits for the window manager's WM_STATE, and without one the
# save dialog would stay drawn after it is closed). icewm draws Windows' classic frames with
# only the buttons each window's style allows; SALVEX_WINE_WM=openbox names another.
window_manager "${SALVEX_WINE_WM:-icewm}"

wineboot --init > "$work/wineboot.log" 2>&1
wineserver -w

# An installer or an uninstaller run silently, as an administrator's script runs it. Each
# starts in a Wine session of its own, once the one before has ended: once, started straight
# after another program of the prefix, Wine 8 ended the uninstaller with status 1 within 20 ms,
# before it had done anything. Wine's own errors stay in LOG.
silently() { # LOG WHAT PROGRAM [ARGUMENT...]
    local log=$1 what=$2 code=0
    shift 2
    wineserver -w
    WINEDEBUG=-all,err+all wine "$@" > "$work/$log" 2>&1 || code=$?
    [ "$code" -eq 0 ] || fail "$what ended with status $code: $(tail -n 5 "$work/$log" | tr '\n' ' ')"
    wineserver -w
}

# Install.
drive_c="$WINEPREFIX/drive_c"
folder="$drive_c/Program Files/Salvex"
silently install.log "the installer" "$installer" /S
for f in salvex.exe qt.conf Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll libstdc++-6.dll \
         libgcc_s_seh-1.dll libwinpthread-1.dll platforms/qwindows.dll \
         translations/qtbase_es.qm Uninstall.exe LICENSE.txt \
         THIRD-PARTY-NOTICES.txt; do
    [ -f "$folder/$f" ] || fail "not installed: $f"
done
menu=$(find "$drive_c" -path '*/Start Menu/Programs/Salvex/Salvex.lnk' | head -n 1)
[ -n "$menu" ] || fail "no Start-menu entry Salvex/Salvex.lnk"
# It starts the program in Documents, where the save dialog then opens: an ordinary user may
# not write in the program's folder.
python3 - "$menu" <<'PY' || fail "the Start-menu entry does not start the program in Documents"
import sys
sys.exit(0 if "\\Documents".encode("utf-16-le") in open(sys.argv[1], "rb").read() else 1)
PY
# "Apps & features": the machine's entry for an installation for all users.
entry() { # fails unless the registry file holds the uninstall entry with every value
    local hive=$1 value
    python3 - "$hive" > "$work/entry.txt" <<'PY' || fail "no uninstall entry in $(basename "$hive")"
import re, sys
text = open(sys.argv[1], encoding="utf-8", errors="replace").read()
m = re.search(r'^\[[^\]]*CurrentVersion\\\\Uninstall\\\\Salvex\] .*?(?=^\[)', text, re.M | re.S)
if not m:
    sys.exit(1)
print(m.group(0))
PY
    for value in DisplayName Publisher DisplayVersion DisplayIcon EstimatedSize UninstallString \
        QuietUninstallString; do
        grep -q "^\"$value\"=" "$work/entry.txt" || fail "the uninstall entry has no $value"
    done
    grep -q '"Publisher"="Salvex by Brel"' "$work/entry.txt" || fail "the uninstall entry names another publisher"
}
entry "$WINEPREFIX/system.reg"
if grep -qi salvex "$WINEPREFIX/user.reg"; then fail "an installation for all users wrote to the user's registry"; fi
# A drive that goes away while the save dialog is open.
mkdir "$work/stick"
ln -s "$work/stick" "$WINEPREFIX/dosdevices/m:"

# The PC has no COM1 to COM4: its only serial port is COM5, an adapter wired to the
# simulator. The operator keeps the entry COM1, which opens it.
"$sim" --link "$work/com5" --report "$work/report.bin" > "$work/sim.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "$work/com5" ] && break; sleep 0.1; done
[ -e "$work/com5" ] || fail "the simulator did not start"
# The registry names the terminal itself: the uninstall check looks for "salvex" there.
python3 "$(dirname "$0")/ptyhost.py" --wire "$WINEPREFIX" "$(readlink "$work/com5")"

# Started from the test's folder, which the save dialog then proposes.
(cd "$work/out" && exec wine 'C:\Program Files\Salvex\salvex.exe') > "$work/salvex.log" 2>&1 &
app=$!
pids+=("$app")
sleep 1
[ "$(readlink -f "$WINEPREFIX/dosdevices/com5")" = "$(readlink -f "$work/com5")" ] \
    || fail "COM5 is not the simulator's line"
[ ! -L "$WINEPREFIX/dosdevices/com1" ] || fail "the prefix still has a COM1"

# Window names are the titles, exactly; xdotool matches them ignoring case.
main='^SALVEX BY BREL http://www.salvex.example$'
box='^SALVEX$'
dialog='^Salvex by Brel$'
input='^ Salvex by Brel$'
gone() { # waits until no visible window's name matches
    for _ in $(seq 50); do
        xdotool search --onlyvisible --name "$1" > /dev/null 2>&1 || return 0
        sleep 0.1
    done
    import -window root "$work/stuck.png"
    fail "the window named '$1' stayed"
}
button() { # clicks a point given from the bottom right corner, in pixels
    # shellcheck disable=SC2034 # all set by getwindowgeometry --shell
    local w WIDTH HEIGHT X Y SCREEN WINDOW
    w=$(window "$1")
    sleep 0.3
    eval "$(xdotool getwindowgeometry --shell "$w")"
    xdotool mousemove --window "$w" $((WIDTH - $2)) $((HEIGHT - $3)) click 1
    sleep 0.5
}
# A message box's button sits at its bottom right; an input box's Aceptar left of Cancelar.
ok() { button "$box" 49 23; gone "$box"; }

ok                                           # the reminder
click "$main" 2430 5917                      # the port list, open
for x in 1500 1530; do                       # rests on COM1: until its tooltip shows
    xdotool mousemove --window "$(window "$main")" $((x / 15)) $((6250 / 15))
    sleep 1
done
import -window root "$work/windows-port-list-tooltip.png"
click "$main" 1500 6250                      # COM1: again, which changes nothing
click "$main" 1267 6607                      # Abrir puerto
ok                                           # Puerto COM 1: abierto OK
sleep 0.5
[ "$(status open "$main")" = green ] || fail "the state is not green while open"
click "$main" 967 3967                       # Recibir Datos
for _ in $(seq 30); do grep -q "request received" "$work/sim.log" && break; sleep 0.1; done
grep -q "request received" "$work/sim.log" || { import -window root "$work/stuck.png"; fail "no request reached the machine"; }
# The machine paces its answer at the speed the program set: Wine 10 sets it through termios2.
if grep -q "does not know" "$work/sim.log"; then fail "the simulator could not read the line's speed"; fi
size=$(stat -c %s "$work/report.bin")
sleep $((size * 11 / 9600 + 2))               # the report at the pace of the line
click "$main" 4807 3967                      # crear archivo excel
window "$dialog" > /dev/null
click "$dialog" 907 2677                     # the drive list, open
window "$box" > /dev/null                    # its list is a window of its own
sleep 0.5
import -window root "$work/windows-save-dialog.png"
click "$dialog" 100 100                      # a click beside it closes it
gone "$box"
click "$dialog" 2347 2587                    # Aceptar
button "$input" 130 23                       # accept the proposed name
gone "$input"
[ "$(icon "$box" saved)" = none ] || fail "a plain message shows an icon"
ok                                           # Verifique su correcta grabación, gracias
# The replacement question, declined with its Cancel button, saves nothing, says nothing.
cp "$work/out/terminal.xls" "$work/first.bin"
click "$dialog" 2347 2587                    # Aceptar
button "$input" 130 23                       # the same name again
button "$box" 49 23                          # Cancelar, right of Aceptar
gone "$box"
sleep 1
xdotool search --onlyvisible --name "$box" > /dev/null 2>&1 && fail "a message followed the declined replacement"
cmp "$work/out/terminal.xls" "$work/first.bin" || fail "the declined replacement changed the file"
# Drive M: gone since the list was made: told with the information icon.
rmdir "$work/stick"
click "$dialog" 907 2677                     # the drive list, open
window "$box" > /dev/null
xdotool key m Return
sleep 0.5
[ "$(icon "$box" unavailable)" = blue ] || fail "the unavailable drive is told without the information icon"
ok                                           # La unidad seleccionada no está disponible
click "$dialog" 3667 2587                    # Cancelar
gone "$dialog"
sleep 0.5
import -window root "$work/windows-collection.png"
click "$main" 5767 127                       # About
window "$dialog" > /dev/null
sleep 0.5
import -window root "$work/windows-about.png"
click "$dialog" 4978 2797                    # OK
gone "$dialog"
click "$main" 4747 6607                      # Cerrar puerto
ok                                           # Puerto COM 1: cerrado OK
sleep 0.5
[ "$(status closed "$main")" = red ] || fail "the state is not red after closing"
python3 "$e2e/closewindow.py" "$(window "$main")"
for _ in $(seq 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
wait "$app" && code=0 || code=$?
[ "$code" -eq 0 ] || fail "the program ended with status $code"

saved="$work/out/terminal.xls"
[ -f "$saved" ] || fail "nothing saved"
{ cat "$work/report.bin"; printf '\r\n'; } > "$work/wanted.bin"
if ! cmp "$saved" "$work/wanted.bin"; then
    cmp -l "$saved" "$work/wanted.bin" | head -n 40 >&2 || true  # offset, saved, sent (octal)
    fail "the saved file differs from what the machine sent"
fi
echo "installed: $(stat -c %s "$saved") bytes saved exactly, every byte value 0-255 among them"

# Uninstall. The uninstaller runs a copy of itself from the temporary folder and returns at
# once; waiting for the prefix's server to end waits for that copy too.
silently uninstall.log "the uninstaller" 'C:\Program Files\Salvex\Uninstall.exe' /S
[ ! -e "$folder" ] || fail "left in Program Files: $(cd "$folder" && find . | tr '\n' ' ')"
left=$(find "$drive_c" -path '*/Start Menu/*' -iname '*salvex*')
[ -z "$left" ] || fail "left in the Start menu: $left"
if grep -qi salvex "$WINEPREFIX/system.reg"; then fail "left in the registry: $(grep -i salvex "$WINEPREFIX/system.reg")"; fi
echo "installed: uninstalled without leftovers"

# For one user. Wine's user is an administrator, so the installer would choose all users:
# /CurrentUser takes the way a user without administrator rights is sent.
silently install-user.log "the one-user installer" "$installer" /S /CurrentUser
mine=$(find "$drive_c/users" -maxdepth 5 -path '*/AppData/Local/Programs/Salvex' | head -n 1)
[ -n "$mine" ] && [ -f "$mine/salvex.exe" ] && [ -f "$mine/THIRD-PARTY-NOTICES.txt" ] \
    || fail "not installed in the user's programs folder"
[ ! -e "$folder" ] || fail "a one-user installation went to Program Files"
menu=$(find "$drive_c/users" -path '*/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Salvex/Salvex.lnk')
[ -n "$menu" ] || fail "no Start-menu entry in the user's own Start menu"
python3 - "$menu" <<'PY' || fail "the user's Start-menu entry does not start the program in Documents"
import sys
sys.exit(0 if "\\Documents".encode("utf-16-le") in open(sys.argv[1], "rb").read() else 1)
PY
entry "$WINEPREFIX/user.reg"
if grep -qi salvex "$WINEPREFIX/system.reg"; then fail "a one-user installation wrote to the machine's registry"; fi
# Plain /S, as an administrator might run it: the uninstaller finds the installation it is.
# Its Windows name, from the folder under drive_c.
uninstaller="C:${mine#"$drive_c"}/Uninstall.exe"
silently uninstall-user.log "the one-user uninstaller" "${uninstaller//\//\\}" /S
[ ! -e "$mine" ] || fail "left in the user's programs: $(cd "$mine" && find . | tr '\n' ' ')"
left=$(find "$drive_c" -path '*/Start Menu/*' -iname '*salvex*')
[ -z "$left" ] || fail "left in the Start menu: $left"
if grep -qi salvex "$WINEPREFIX/user.reg" "$WINEPREFIX/system.reg"; then fail "left in the registry"; fi
echo "installed: for one user, in $(basename "$(dirname "$(dirname "$mine")")")/Programs, and uninstalled without leftovers"

if [ -n "$shots" ]; then
    mkdir -p "$shots"
    cp "$work/windows-collection.png" "$work/windows-save-dialog.png" "$work/windows-about.png" \
        "$work/windows-port-list-tooltip.png" "$shots/"
fi
# A passed run keeps its screenshots and logs, not the 700 MB prefix.
wineserver -k 2>/dev/null || true
rm -rf "$WINEPREFIX" "$work"/*.ppm
echo "installed: screenshots in $work"
