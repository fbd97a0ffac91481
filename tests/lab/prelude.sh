# SPDX-License-Identifier: MIT
# shellcheck shell=bash disable=SC2034,SC2154 # sourced by the lab's shell in the guest
# The lab guest's shell functions: the operator (tests/e2e/operator.sh), the program's
# user, the machine's end of the gadget line and the test driver's pushes.
set +e
abi=$(uname -r)
mods() { modprobe -d "/cache/kernel-$abi" -a "$@"; }
work=/work/op # the evidence, on the host
out=/tmp/out  # the program's folder: saving on 9p under emulation is slow
mkdir -p $work $out /tmp/home /tmp/run
chown 1000:1000 $out /tmp/home /tmp/run
chmod 700 /tmp/run
pids=()
fail() { echo "FAIL: $*" >&2; return 1; }
. /repo/tests/e2e/operator.sh
press() { # focuses the window whose name matches, and presses a key there
    local w
    w=$(window "$1") || return 1
    timeout 10 xdotool windowfocus --sync "$w"
    xdotool key "$2"
}
op() { # runs a command as the operator, a member of dialout
    setpriv --reuid=1000 --regid=1000 --groups=20 env HOME=/tmp/home XDG_RUNTIME_DIR=/tmp/run \
        DISPLAY="$DISPLAY" DBUS_SESSION_BUS_ADDRESS="$bus" LANG=C.UTF-8 "$@"
}
machine() { # the machine's end of the gadget line, once it listens
    # A machine's port stays open between answers, its control lines on: one opening holds
    # it, whichever answer runs.
    [ -n "$holder" ] && kill "$holder" 2> /dev/null && wait "$holder" 2> /dev/null
    { sleep 100000 < /dev/ttyGS0 & holder=$!; }
    /usr/bin/python3 /repo/tests/lab/inguest.py machine /dev/ttyGS0 "$@" > $work/machine.log 2>&1 &
    machine=$!
    for _ in $(seq 100); do grep -q ready $work/machine.log && break; sleep 0.1; done
}
le() { # waits for the request on the test driver's line; then each argument is one push
    local end=$((SECONDS + 20)) got=""
    while [ $SECONDS -lt $end ]; do
        got+=$(head -c 256 /dev/ttyle_ctl | tr -d '\0')
        case $got in *W*) break ;; esac
        sleep 0.2
    done
    case $got in *W*) ;; *) echo "no request on ttyLE0"; return 1 ;; esac
    # Pushes apart, as a driver's interrupts come: each lands before the next is made.
    for push; do printf '%b' "$push" > /dev/ttyle_ctl || return 1; sleep 0.1; done
}
boxes() { xdotool search --onlyvisible --name '^SALVEX$' 2> /dev/null | wc -l; }
box_up() { # waits up to $1 s for one of the program's boxes; says how many are up
    local end=$((SECONDS + $1))
    until [ "$(boxes)" -gt 0 ] || [ $SECONDS -ge $end ]; do sleep 0.2; done
    boxes
}
answer_boxes() { # answers every box up with Enter, each once it has gone; says how many
    local n k=0
    while n=$(boxes) && [ "$n" -gt 0 ] && [ $k -lt 10 ]; do
        press '^SALVEX$' Return
        k=$((k + 1))
        for _ in $(seq 50); do [ "$(boxes)" -lt "$n" ] && break; sleep 0.1; done
    done
    echo $k
}
ask() { echo "$*" > /tmp/ask && cat /tmp/said; }
shows() { # waits up to $2 s until the received text shows $1 characters
    local end=$((SECONDS + $2))
    until [ "$(ask chars Texto recibido | tr -dc 0-9)" -ge "$1" ] 2> /dev/null || [ $SECONDS -ge $end ]; do
        sleep 0.5
    done
    ask chars Texto recibido
}
# What udev would do for a serial device: the group dialout may use it.
ready() { for _ in $(seq 200); do [ -c "$1" ] && break; sleep 0.05; done; chgrp dialout "$1" && chmod 660 "$1"; }
