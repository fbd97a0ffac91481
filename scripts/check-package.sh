#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package as Debian builds its own and checks it as Debian does: lintian
# with nothing to say beyond what packaging/lintian-overrides explains, the AppStream
# metadata and the desktop entry; then installs it and starts the installed program under
# a virtual display until its first window shows. The package is built in build-package/
# (or the folder given in SALVEX_BUILD).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/apt.sh

# dpkg-dev: dpkg-buildflags and dpkg-shlibdeps; file: how CPack finds the binaries to
# give dpkg-shlibdeps.
tools=(lintian dpkg-dev file desktop-file-utils appstream xvfb xauth xdotool x11-utils
    imagemagick)
install_missing "${tools[@]}"

# Debian's build flags, every hardening feature on (bindnow too). CMake reads no CPPFLAGS,
# so they go before CXXFLAGS, as debhelper does; build type None adds no flags of its own.
# Given on the command line, they hold in a build folder configured before as well.
buildflag() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
build="${SALVEX_BUILD:-build-package}"
SALVEX_BUILD="$build" scripts/setup.sh -DCMAKE_BUILD_TYPE=None -DSALVEX_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="$(buildflag CPPFLAGS) $(buildflag CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(buildflag LDFLAGS)"
rm -f "$build"/salvex_*.deb
(cd "$build" && cpack -G DEB > cpack.log) || { cat "$build/cpack.log"; exit 1; }
deb=$(ls "$build"/salvex_*.deb)
dpkg-deb -f "$deb" Package Version Depends Recommends

# CPack leaves dpkg-shlibdeps out without a word when it cannot run it.
grep -q 'libqt6core6[a-z0-9]* (>= ' <<< "$(dpkg-deb -f "$deb" Depends)" \
    || { echo "no Depends from dpkg-shlibdeps" >&2; exit 1; }
version=$(dpkg-deb -f "$deb" Version)
# shellcheck source=/dev/null
release=$(. /etc/os-release && if [ "${ID:-}" = debian ]; then echo "${VERSION_ID:-}"; fi)
[ -z "$release" ] || [[ "$version" == *"+deb$release" ]] \
    || { echo "package $version, not marked for Debian $release" >&2; exit 1; }
logged=$(dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/salvex/changelog.Debian.gz \
    | gunzip | sed -n '1s/^salvex (\(.*\)).*/\1/p')
[ "$version" = "$logged" ] || { echo "package $version, changelog $logged" >&2; exit 1; }

# All lintian says, the overridden tags and their reasons too; then the same with any tag
# left over, of any severity, failing.
lintian --pedantic -I -E --show-overrides "$deb"
lintian --pedantic -I -E --fail-on error,warning,info,pedantic,experimental "$deb"
echo "lintian --pedantic: nothing but the overrides"

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
