#!/usr/bin/env bash
# Compiles the sources with Windows-only branches with mingw-w64, against this machine's
# Qt headers, and the version record with windres: a check that the Windows side still
# builds, short of a Windows machine.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v x86_64-w64-mingw32-g++-posix > /dev/null; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends \
        g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
fi
q=/usr/include/x86_64-linux-gnu/qt6
for source in serial/mscomm.cpp about/registry_win.cpp about/frmabout.cpp \
              save/textfilewriter.cpp save/drivelistbox.cpp common/dialogs.cpp; do
    x86_64-w64-mingw32-g++-posix -std=c++20 -fsyntax-only -Wall -Wextra -Werror \
        -isystem $q -isystem $q/QtCore -isystem $q/QtGui -isystem $q/QtWidgets \
        -isystem $q/QtSerialPort \
        -Icommon -Iserial -Isave -Iabout -DQT_NO_KEYWORDS \
        -DSALVEX_VERSION_MAJOR=1 -DSALVEX_VERSION_MINOR=0 -DSALVEX_VERSION_REVISION=0 "$source"
    echo "windows: $source compiles"
done
version=$(sed -n 's/^project(salvex VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
IFS=. read -r major minor patch tweak <<< "$version"
# The icon is made by a build of the program, so the record is checked without it.
rc=$(mktemp --suffix=.rc)
sed -e "s/@PROJECT_VERSION_MAJOR@/$major/g" -e "s/@PROJECT_VERSION_MINOR@/$minor/g" \
    -e "s/@PROJECT_VERSION_PATCH@/$patch/g" -e "s/@PROJECT_VERSION_TWEAK@/$tweak/g" \
    -e "s/@PROJECT_VERSION@/$version/g" -e '/ ICON /d' app/salvex.rc.in > "$rc"
x86_64-w64-mingw32-windres "$rc" -O coff -o "${rc%.rc}.res"
echo "windows: version record $version compiles"
rm -f "$rc" "${rc%.rc}.res"
