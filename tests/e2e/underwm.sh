#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a command under a real X server and window manager, Xvfb and openbox, with Qt on
# X11: what the offscreen platform cannot show, such as where the window manager puts the
# frame. Fails when either cannot be started; nothing is skipped.
#   underwm.sh COMMAND [ARGUMENTS...]
set -euo pipefail
work=$(mktemp -d /tmp/salvex-wm.XXXXXX)
pids=()
fail() { echo "FAIL: $*" >&2; echo "evidence in $work" >&2; exit 1; }
# shellcheck source=SCRIPTDIR/operator.sh
. "$(dirname "$0")/operator.sh"
trap stop_started EXIT

command -v openbox > /dev/null || fail "openbox is not installed"
virtual_display
window_manager openbox
QT_QPA_PLATFORM=xcb "$@"
