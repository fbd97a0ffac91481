#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds salvex for Windows on Debian 13 with mingw-w64 into build-win/ and packs it: a
# portable salvex-<version>-win64.zip and a 64-bit installer salvex-<version>-win64.exe.
#   scripts/build-windows.sh [--test]
# --test then runs the Windows build's Qt tests under Wine, installs the installer under
# Wine and drives one collection through the installed program (tests/wine/installed.sh),
# and opens a port slow to open under the portable program (tests/wine/slowopen.sh).
# On another release it runs itself in a fresh Debian 13 root (scripts/debian13.sh
# --windows, as root), whose packages, log and screenshots it copies back into build-win/:
# Qt for Windows needs Debian 13's Qt 6.8.2 tools, and the tests want its Wine 10. With
# --test it then tries the installed and the portable program once more under this
# system's own Wine (screenshots in build-win/screenshots-wine<version>/).
#
# Qt for Windows comes from an archive, ../shared/windows/qt6-mingw-6.8.2.tar.xz beside the
# repository or the one named by SALVEX_QT_WINDOWS_ARCHIVE (set empty to build from source);
# without one, Qt is built from Debian's own qt6-base source package (about 22 minutes on
# two cores). Either way it lands in the cache folder (SALVEX_QT_CACHE, by default
# ~/.cache/salvex; in the root, the root cache's qt/) and is reused from there.
# SALVEX_BUILD_WIN names another build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
test=no
case "${1:-}" in
--test) test=yes ;;
--qt-tests) test=qt ;;
"") ;;
*) echo "usage: $0 [--test|--qt-tests]" >&2; exit 2 ;;
esac
started=$(date +%s)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

qt_version=6.8.2
archive="${SALVEX_QT_WINDOWS_ARCHIVE-$root/../shared/windows/qt6-mingw-$qt_version.tar.xz}"
# A clone that does not sit beside the shared folder still finds it where this workplace
# keeps it.
if [ -z "${SALVEX_QT_WINDOWS_ARCHIVE+set}" ] && [ ! -f "$archive" ]; then
    archive=/work/shared/windows/qt6-mingw-$qt_version.tar.xz
fi
if [ -n "${SALVEX_QT_WINDOWS_ARCHIVE:-}" ] && [ ! -f "$archive" ]; then
    echo "no Qt archive at $archive" >&2
    exit 1
fi
[ -f "$archive" ] || archive=""

if [ "$(. /etc/os-release && echo "${VERSION_ID:-}")" != 13 ]; then
    echo "build-windows: building in a Debian 13 root (scripts/debian13.sh --windows)"
    build="${SALVEX_BUILD_WIN:-build-win}"
    $sudo env SALVEX_BUILD_WIN="$build" SALVEX_QT_WINDOWS_ARCHIVE="$archive" \
        scripts/debian13.sh --windows ${1:+"$1"}
    [ "$test" = yes ] || exit 0
    # Wine 8 here and Wine 10 there differ in their serial and window code: the installed
    # program and the portable one are tried under both. Here under openbox: Debian 12's
    # icewm and Wine 8 disagree by a title bar's height on where a framed window is, and
    # clicks land that far off.
    . scripts/apt.sh
    install_missing g++ cmake qt6-base-dev qt6-serialport-dev pkg-config libxcb1-dev libgl-dev nsis zip unzip \
        wine wine64 fonts-wine fonts-freefont-ttf xvfb xauth xdotool imagemagick x11-utils openbox locales python3
    if ! locale -a | grep -qx 'es_ES.utf8'; then
        $sudo localedef -i es_ES -c -f UTF-8 es_ES.UTF-8
    fi
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    nice -n 10 cmake --build build -j2 --target salvex-sim
    shots="$build/screenshots-$(wine --version 2> /dev/null | sed 's/ .*//; s/-\([0-9]*\).*/\1/')"
    export SALVEX_WINE_WM=openbox
    tests/wine/installed.sh "$(ls "$build"/salvex-*-win64.exe | head -n 1)" build/tools/salvex-sim "$shots"
    tests/wine/slowopen.sh "$build" 6 "$shots"
    echo "the installed and the portable program tried under $(wine --version 2> /dev/null)"
    exit 0
fi

. scripts/apt.sh

packages=(cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    qt6-base-dev qt6-base-dev-tools qt6-translations-l10n libgl-dev
    nsis wine wine64 fonts-wine fonts-freefont-ttf zip unzip xvfb xauth python3 dpkg-dev)
if [ "$test" != no ]; then
    # The Linux machine simulator comes from the same project, whose Linux configure wants
    # the XCB library through pkg-config.
    packages+=(g++ qt6-serialport-dev pkg-config libxcb1-dev xdotool imagemagick x11-utils icewm locales)
fi
install_missing "${packages[@]}"
# Wine takes its language from the Linux locale, which must exist: the installed program and
# its installer are tried in Spanish.
if [ "$test" = yes ] && ! locale -a | grep -qx 'es_ES.utf8'; then
    $sudo localedef -i es_ES -c -f UTF-8 es_ES.UTF-8
fi

version=$(sed -n 's/^project(salvex VERSION \([0-9]*\.[0-9]*\.[0-9]*\).*/\1/p' CMakeLists.txt)
cache="${SALVEX_QT_CACHE:-$HOME/.cache/salvex}"
qt="$cache/qt6-mingw-$qt_version"
mkdir -p "$cache"

# Debian's source packages need a deb-src entry; one is made from the Debian deb entries.
add_deb_src() {
    if grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        return
    fi
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            | $sudo tee /etc/apt/sources.list.d/salvex-deb-src.sources > /dev/null
    else
        grep -E '^deb .*debian' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
            | $sudo tee /etc/apt/sources.list.d/salvex-deb-src.list > /dev/null
    fi
    apt_get update
}

# Qt Core, Gui, Widgets and Test for Windows from Debian's qt6-base, as the prebuilt archive
# was made: the switches and the reasons for them are in that archive's README.
build_qt() {
    local work src
    add_deb_src
    work=$(mktemp -d "$cache/qt-source.XXXXXX")
    (cd "$work" && apt-get source qt6-base)
    src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' | head -n 1)
    cmake -G Ninja -S "$src" -B "$work/build" \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw64-posix.toolchain.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$qt.partial" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DQT_QMAKE_TARGET_MKSPEC=win32-g++ -DBUILD_SHARED_LIBS=ON \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
        -DFEATURE_pkg_config=OFF -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF \
        -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF \
        -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_opengl_dynamic=OFF \
        -DFEATURE_opengl_desktop=OFF -DFEATURE_vulkan=OFF \
        -DFEATURE_direct2d=ON -DFEATURE_directwrite=ON -DFEATURE_directwrite3=ON \
        -DFEATURE_tabletevent=OFF -DFEATURE_androiddeployqt=OFF -DFEATURE_zstd=OFF -DFEATURE_icu=OFF \
        -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_doubleconversion=OFF \
        -DFEATURE_system_freetype=OFF -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_png=OFF \
        -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF -DFEATURE_ico=OFF
    nice -n 10 cmake --build "$work/build" --parallel 2
    rm -rf "$qt.partial"
    cmake --install "$work/build"
    rm -rf "$qt.partial/doc"
    mv "$qt.partial" "$qt"
    rm -rf "$work"
}

if [ -f "$qt/lib/cmake/Qt6/Qt6Config.cmake" ]; then
    echo "Qt for Windows: $qt"
elif [ -n "$archive" ] && [ -f "$archive" ]; then
    echo "Qt for Windows: unpacking $archive"
    rm -rf "$qt.partial"
    mkdir "$qt.partial"
    tar xJf "$archive" -C "$qt.partial"
    mv "$qt.partial/qt6-mingw-$qt_version" "$qt"
    rmdir "$qt.partial"
else
    echo "Qt for Windows: building it from Debian's qt6-base source package"
    build_qt
fi

build="${SALVEX_BUILD_WIN:-build-win}"
cmake -G Ninja -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw64-posix.toolchain.cmake \
    -DCMAKE_PREFIX_PATH="$qt" -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake -DCMAKE_BUILD_TYPE=Release
nice -n 10 cmake --build "$build" -j2
(cd "$build" && cpack -G "NSIS;ZIP")

zip="$build/salvex-$version-win64.zip"
installer="$build/salvex-$version-win64.exe"
built=$(($(date +%s) - started))

if [ "$test" != no ]; then
    # The Qt tests of the Windows build, under Wine (cmake/wine-run.sh.in).
    ctest --test-dir "$build" --output-on-failure --timeout 900
fi
if [ "$test" = yes ]; then
    # The machine simulator is a Linux program; only it is built here.
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    nice -n 10 cmake --build build -j2 --target salvex-sim
    tests/wine/installed.sh "$installer" build/tools/salvex-sim "$build/screenshots"
    # A port slow to open leaves the window alive.
    tests/wine/slowopen.sh "$build"
fi

echo "$zip: $(stat -c %s "$zip") bytes"
echo "$installer: $(stat -c %s "$installer") bytes"
echo "built and packed in ${built} s; $(($(date +%s) - started)) s in all"
