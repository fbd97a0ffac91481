#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes a Debian root (run inside it, from the repository) ready to be the lab's guest:
# installs what the guest runs besides salvex and fetches this Debian's kernel package into
# apt's archive folder (never installs it). scripts/lab.sh then boots it with
# SALVEX_LAB_ROOT and SALVEX_LAB_KERNEL_DEB; the last line printed is the package's path.
set -euo pipefail
cd "$(dirname "$0")/../.."
# shellcheck source=scripts/apt.sh
. scripts/apt.sh
install_missing kmod strace python3 python3-pyatspi at-spi2-core dbus xvfb xdotool imagemagick x11-utils qt6-qpa-plugins
# The program runs there as user 1000, whom the session bus must find in the user database.
getent passwd 1000 > /dev/null || useradd --uid 1000 --no-user-group --groups dialout --no-create-home lab
abi=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: linux-image-\([0-9].*\)$/\1/p' | head -n 1)
[ -n "$abi" ] || { echo "guest-root: no kernel package behind linux-image-amd64" >&2; exit 1; }
cd /var/cache/apt/archives
compgen -G "linux-image-${abi}_*.deb" > /dev/null || apt-get -q download "linux-image-$abi"
echo "/var/cache/apt/archives/$(compgen -G "linux-image-${abi}_*.deb" | head -n 1)"
