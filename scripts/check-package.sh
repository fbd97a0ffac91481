#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package and checks it as Debian does: lintian with no error and no
# warning, the AppStream metadata and the desktop entry; then installs it and starts the
# installed program under a virtual display until its first window shows.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/apt.sh

tools=(lintian desktop-file-utils appstream xvfb xauth xdotool x11-utils imagemagick)
install_missing "${tools[@]}"

scripts/setup.sh
build="${SALVEX_BUILD:-build}"
rm -f "$build"/salvex_*.deb
(cd "$build" && cpack -G DEB > cpack.log) || { cat "$build/cpack.log"; exit 1; }
deb=$(ls "$build"/salvex_*.deb)

lintian --fail-on error,warning "$deb"
echo "lintian: no error, no warning"
version=$(dpkg-deb -f "$deb" Version)
logged=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/salvex/changelog.Debian.gz \
    | gunzip | sed -n '1s/^salvex (\(.*\)).*/\1/p')
[ "$version" = "$logged" ] || { echo "package $version, changelog $logged" >&2; exit 1; }

apt_get install -y --reinstall "./$deb"
appstreamcli validate --no-net /usr/share/metainfo/example.salvex.salvex.metainfo.xml
desktop-file-validate /usr/share/applications/salvex.desktop
echo "desktop-file-validate: valid"

work=$(mktemp -d /tmp/salvex-package.XXXXXX)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT
# Xvfb picks a free display itself and tells its number once it is ready.
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3> "$work/display" > "$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || { cat "$work/xvfb.log"; echo "no virtual display" >&2; exit 1; }
export DISPLAY=":$(cat "$work/display")"

(cd "$work" && QT_QPA_PLATFORM=xcb exec /usr/bin/salvex) > "$work/salvex.log" 2>&1 &
pids+=($!)
# The first window is the reminder to open a port, titled SALVEX.
window=""
for _ in $(seq 300); do
    window=$(xdotool search --onlyvisible --name '^SALVEX' 2>/dev/null | head -n 1 || true)
    [ -n "$window" ] && break
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$window" ]; then
    cat "$work/salvex.log"
    echo "the installed salvex showed no window" >&2
    exit 1
fi
import -window root "$work/first-window.png"
echo "installed /usr/bin/salvex shows its first window: $(xwininfo -id "$window" | sed -n 's/^xwininfo: Window id: //p') ($work/first-window.png)"
