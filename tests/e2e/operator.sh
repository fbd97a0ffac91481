# SPDX-License-Identifier: MIT
# shellcheck shell=bash disable=SC2154 # $work, pids and fail() come from the sourcing script
# Plays the operator from outside for the end-to-end tests: a virtual display, windows found
# by their names, clicks at twips, the state label's colour. Sourced; the sourcing script
# gives $work (a folder for evidence), the array pids (processes to stop at the end) and
# fail().
operator=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# shellcheck disable=SC2317 # run by the sourcing script's trap
stop_started() { # stops what pids holds, and waits for it to end: the next test's virtual
    # display may otherwise take the number of one still shutting down
    for p in "${pids[@]}"; do kill "$p" 2> /dev/null || true; done
    wait 2> /dev/null || true
}

virtual_display() { # starts Xvfb and exports DISPLAY
    # Xvfb picks a free display itself and tells its number once it is ready.
    Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3> "$work/display" > "$work/xvfb.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
    [ -s "$work/display" ] || { cat "$work/xvfb.log"; fail "no virtual display"; }
    DISPLAY=":$(cat "$work/display")"
    export DISPLAY
}
window_manager() { # starts a window manager, openbox or icewm, on the virtual display
    local try
    for try in 1 2 3; do
        case $1 in
        openbox) openbox --sm-disable >> "$work/wm.log" 2>&1 & ;;
        icewm)
            # Windows' classic frames: only the buttons a window's style allows, its title in
            # a font of Windows' size, and no task bar over the bottom of the screen.
            mkdir -p "$work/icewm"
            printf 'Theme="win95/default.theme"\n' > "$work/icewm/theme"
            printf 'ShowTaskBar=0\nTitleFontNameXft="FreeSans:size=8:bold"\n' > "$work/icewm/prefoverride"
            ICEWM_PRIVCFG="$work/icewm" icewm >> "$work/wm.log" 2>&1 &
            ;;
        *) fail "no window manager named $1" ;;
        esac
        pids+=($!)
        # The window manager is at work once it names itself on the root window. Once, in
        # the Debian 13 root, openbox found no display on a virtual display that had just told
        # it was ready, and ended: it is started again.
        for _ in $(seq 100); do
            xprop -root _NET_SUPPORTING_WM_CHECK 2> /dev/null | grep -q 'window id' && return 0
            kill -0 "$!" 2> /dev/null || break
            sleep 0.1
        done
        kill -0 "$!" 2> /dev/null && break  # alive but silent: another would only fight it
        echo "$1 ended without starting (try $try)" >> "$work/wm.log"
    done
    cat "$work/wm.log"
    fail "$1 did not start"
}
origin() { # the top left corner of a window on the screen, "X Y"; xdotool's getwindowgeometry
    # counts a window manager's frame twice
    xwininfo -id "$1" | awk '/Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF } END { print x, y }'
}
window() { # waits for a visible window whose name matches
    local w
    for _ in $(seq 150); do
        w=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1 || true)
        [ -n "$w" ] && { echo "$w"; return 0; }
        sleep 0.1
    done
    import -window root "$work/stuck.png"
    fail "no window named '$1'"
}
click() { # clicks a point given in twips of the window whose name matches
    local w
    w=$(window "$1")
    xdotool mousemove --window "$w" $(($2 / 15)) $(($3 / 15)) click 1
    sleep 0.5
}
status() { # the colour of the state label of the main window, whose name matches $2
    local w X Y
    w=$(window "$2")
    read -r X Y <<< "$(origin "$w")"
    import -window root "$work/$1.png"
    convert "$work/$1.png" "$work/$1.ppm"
    python3 "$operator/colourat.py" "$work/$1.ppm" $((X + (240 + 2280) / 15)) $((Y + (4440 + 240) / 15)) 65 17
}
icon() { # the colour at the top left of the box whose name matches: blue for the information icon
    local w X Y
    w=$(window "$1")
    sleep 0.3
    read -r X Y <<< "$(origin "$w")"
    import -window root "$work/$2.png"
    convert "$work/$2.png" "$work/$2.ppm"
    python3 "$operator/colourat.py" "$work/$2.ppm" "$X" "$Y" 64 64
}
