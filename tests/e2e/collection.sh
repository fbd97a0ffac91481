#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One collection driven from outside, as an operator would: the real program under a
# virtual display, COM1 wired to the machine simulator.
#   collection.sh SALVEX SIMULATOR [vanish]
# Checks the saved file byte for byte, the status colours and the exit status.
set -euo pipefail
salvex=$(realpath "$1") sim=$(realpath "$2") mode=${3:-full}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/salvex-e2e.XXXXXX)
mkdir "$work/out"
pids=()
fail() { echo "FAIL: $*" >&2; echo "evidence in $work" >&2; exit 1; }
# shellcheck source=SCRIPTDIR/operator.sh
. "$here/operator.sh"
trap stop_started EXIT

# The machine's answer: report lines with accented letters, a lone CR and a NUL inside.
python3 - "$work/report.bin" <<'PY'
import sys
lines = [b"MAQUINA 0042  RECAUDACION", b"Fecha 07/12/2026  Hora 10:15", b"A\xf1o \xe9xito \xbfcr\xe9ditos?"]
lines += [b"CONTADOR %02d ENTRADAS %06d SALIDAS %06d" % (i, i * 125, i * 37) for i in range(40)]
lines += [b"lone\rCR and NUL \x00 end", b"TOTAL 000123456"]
open(sys.argv[1], "wb").write(b"\r\n".join(lines) + b"\r\n")
PY
vanish_args=()
expected="$work/report.bin"
if [ "$mode" = vanish ]; then
    vanish_args=(--vanish-after 700)
    head -c 700 "$work/report.bin" > "$work/expected.bin"
    expected="$work/expected.bin"
fi

virtual_display

"$sim" --link "$work/com1" --report "$work/report.bin" "${vanish_args[@]}" > "$work/sim.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "$work/com1" ] && break; sleep 0.1; done

# The home folder is a volume of the drive list; the test takes it away later.
home="$work/home"
mkdir "$home"
(cd "$work/out" && HOME="$home" SALVEX_COM1="$work/com1" QT_QPA_PLATFORM=xcb exec "$salvex") > "$work/salvex.log" 2>&1 &
app=$!
pids+=("$app")

press() { # presses a key in the window whose name matches
    local w
    w=$(window "$1")
    xdotool windowfocus --sync "$w"
    xdotool key "$2"
    sleep 0.4
}
title() { # the title the window system shows for the window whose name matches
    xprop -id "$(window "$1")" _NET_WM_NAME | sed -n 's/^_NET_WM_NAME([A-Z_0-9]*) = "\(.*\)"$/\1/p'
}
titled() { # fails unless the window whose name matches shows exactly the title
    local shown
    shown=$(title "$1")
    [ "$shown" = "$2" ] || fail "the title bar shows '$shown' instead of '$2'"
}

titled '^SALVEX$' 'SALVEX'
press '^SALVEX$' Return                      # the reminder
titled 'SALVEX BY BREL' 'SALVEX BY BREL http://www.salvex.example'
click 'SALVEX BY BREL' 1267 6607             # Abrir puerto
press '^SALVEX$' Return                      # Puerto COM 1: abierto OK
sleep 0.5
[ "$(status open 'SALVEX BY BREL')" = green ] || fail "the state is not green while open"
cpu_ms() { # the CPU time the program has used so far, in milliseconds
    local stat
    read -r -a stat < <(sed 's/^.*) //' "/proc/$app/stat")
    echo $(((stat[11] + stat[12]) * 1000 / $(getconf CLK_TCK)))
}
cpu_before=$(cpu_ms)
click 'SALVEX BY BREL' 967 3967              # Recibir Datos
size=$(stat -c %s "$work/report.bin")
sleep $((size * 11 / 9600 + 2))               # the report at the pace of the line
if [ "$mode" = vanish ]; then
    # The machine went mid-answer: the panel already says closed, one box says why.
    [ "$(status lost 'SALVEX BY BREL')" = red ] || fail "the state is not red after the device went"
    # And nothing is left spinning on the dead line: what the answer and the box cost, no more.
    spent=$(($(cpu_ms) - cpu_before))
    echo "CPU from the request to a few seconds after the loss: $spent ms"
    [ "$spent" -lt 1000 ] || fail "the program spent $spent ms of CPU around the loss"
    press '^SALVEX$' Return                  # Se perdió la conexión con ...
    sleep 0.5
    ! xdotool search --onlyvisible --name '^SALVEX$' > /dev/null 2>&1 \
        || fail "more than one box after the device went"
fi
click 'SALVEX BY BREL' 4807 3967             # crear archivo excel
titled '^Salvex by Brel$' 'Salvex by Brel'
click '^Salvex by Brel$' 2347 2587           # Aceptar
titled '^ Salvex by Brel$' ' Salvex by Brel'
press '^ Salvex by Brel$' Return             # accept the proposed name
[ "$(icon '^SALVEX$' saved)" = none ] || fail "a plain message shows an icon"
press '^SALVEX$' Return                      # Verifique su correcta grabación, gracias
if [ "$mode" = full ]; then
    # The replacement question, declined with its Cancel button (the right one), saves
    # nothing and says nothing more.
    cp "$work/out/terminal.xls" "$work/first.bin"
    click '^Salvex by Brel$' 2347 2587       # Aceptar
    press '^ Salvex by Brel$' Return         # the same name again
    eval "$(xdotool getwindowgeometry --shell "$(window '^SALVEX$')")"
    xdotool mousemove --window "$WINDOW" $((WIDTH - 49)) $((HEIGHT - 23)) click 1
    sleep 1
    if xdotool search --onlyvisible --name '^SALVEX$' > /dev/null 2>&1; then
        import -window root "$work/stuck.png"
        fail "a message followed the declined replacement"
    fi
    cmp "$work/out/terminal.xls" "$work/first.bin" || fail "the declined replacement changed the file"
    # A volume gone since the drive list was made: told with the information icon.
    rmdir "$home"
    click '^Salvex by Brel$' 907 2677        # the drive list, open
    xdotool type --delay 30 "$home"
    xdotool key Return
    [ "$(icon '^SALVEX$' unavailable)" = blue ] || fail "the unavailable drive is told without the information icon"
    press '^SALVEX$' Return                  # La unidad seleccionada no está disponible
fi
click '^Salvex by Brel$' 3667 2587           # Cancelar
click 'SALVEX BY BREL' 4747 6607             # Cerrar puerto (accepted also after a loss)
press '^SALVEX$' Return                      # Puerto COM 1: cerrado OK
sleep 0.5
[ "$(status closed 'SALVEX BY BREL')" = red ] || fail "the state is not red after closing"
python3 "$here/closewindow.py" "$(window 'SALVEX BY BREL')"
for _ in $(seq 50); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
wait "$app" && code=0 || code=$?
[ "$code" -eq 0 ] || fail "the program ended with status $code"

saved="$work/out/terminal.xls"
[ -f "$saved" ] || fail "nothing saved"
{ cat "$expected"; printf '\r\n'; } > "$work/wanted.bin"
cmp "$saved" "$work/wanted.bin" || fail "the saved file differs from what the machine sent"
echo "collection ($mode): $(stat -c %s "$saved") bytes saved exactly; screenshots in $work"
