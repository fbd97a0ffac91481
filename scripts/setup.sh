#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what salvex needs on Debian 12 or 13 and builds it into build/ (or the folder given
# in SALVEX_BUILD). Extra arguments go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make pkg-config
    qt6-base-dev qt6-serialport-dev qt6-translations-l10n qt6-qpa-plugins libgl-dev
    fonts-liberation fonts-dejavu-core fonts-freefont-ttf
    xvfb xauth xdotool imagemagick x11-utils openbox libxcb1-dev
    python3 dbus at-spi2-core python3-pyatspi)

# shellcheck source=scripts/apt.sh
. scripts/apt.sh
install_missing "${packages[@]}"

build="${SALVEX_BUILD:-build}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$build" -j2
