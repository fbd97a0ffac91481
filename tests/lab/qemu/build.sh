#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the lab's qemu-system-x86_64: Debian's own source of the installed qemu-system-x86
# version with the patches beside this script (*.patch, in name order), configured for the
# lab alone. The binary is cached under CACHE keyed by the source version and a hash of the
# patches and the configure options, so it is rebuilt only when one of them changes; the
# patched tree is kept, so a rebuild after a patch change is incremental.
#   tests/lab/qemu/build.sh CACHE
# The last line printed is the binary's path. On any failure it says so on stderr and exits
# non-zero, and the caller falls back to the stock QEMU.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 1 ] || { echo "usage: $0 CACHE" >&2; exit 2; }
mkdir -p "$1"
cache=$(realpath "$1")
trap 'echo "qemu: building the patched QEMU failed (see above)" >&2' ERR

options=(--target-list=x86_64-softmmu --without-default-features --enable-tcg --enable-virtfs
    --enable-attr --enable-cap-ng --enable-fdt=system --disable-docs --disable-install-blobs
    --disable-werror --firmwarepath=/usr/share/qemu:/usr/share/seabios:/usr/lib/ipxe/qemu)

version=$(dpkg-query -W -f='${source:Version}' qemu-system-x86 2> /dev/null || true)
[ -n "$version" ] || { echo "qemu: qemu-system-x86 is not installed" >&2; exit 1; }
patches=("$here"/*.patch)
[ -e "${patches[0]}" ] || patches=()
key=$( (printf '%s\n' "${options[@]}"; cat "${patches[@]}" /dev/null) | sha256sum | cut -c1-12)
safe=${version//[:~]/_}
out="$cache/qemu-$safe-$key/qemu-system-x86_64"
if [ -x "$out" ]; then
    echo "$out"
    exit 0
fi

# shellcheck source=scripts/apt.sh
. "$here/../../../scripts/apt.sh"
install_missing dpkg-dev meson ninja-build pkg-config gcc python3 libglib2.0-dev libpixman-1-dev \
    libcap-ng-dev libattr1-dev libfdt-dev >&2

# The source, through a list of our own: /etc/apt stays as it is.
src="$cache/qemu-src-$safe"
if [ ! -f "$src/.complete" ]; then
    . /etc/os-release
    apt="$cache/qemu-apt"
    rm -rf "$apt" "$src"
    mkdir -p "$apt/lists/partial" "$src"
    keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    {
        echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian $VERSION_CODENAME main"
        echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian $VERSION_CODENAME-updates main"
        echo "deb-src [signed-by=$keyring] http://deb.debian.org/debian-security $VERSION_CODENAME-security main"
    } > "$apt/sources.list"
    aptopts=(-o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o Dir::State::Lists="$apt/lists" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=)
    echo "qemu: fetching Debian's source of qemu $version" >&2
    apt-get "${aptopts[@]}" -qq update >&2
    (cd "$src" && apt-get "${aptopts[@]}" -qq source "qemu=$version" >&2)
    rm -rf "$apt"
    dirs=("$src"/qemu-*/)
    mv "${dirs[0]}" "$src/pristine"
    rm -f "$src"/*.tar.* "$src"/*.dsc
    touch "$src/.complete"
fi

# The patched tree. The patches go on a copy of the pristine files that they or the previous
# ones touch; only the files that come out different are written to the tree, so a rebuild
# compiles what changed and no more.
tree="$src/tree"
[ -d "$tree" ] || cp -a "$src/pristine" "$tree"
stage="$src/stage"
rm -rf "$stage"
mkdir -p "$stage"
touch "$tree/.salvex-applied"
cat "$tree/.salvex-applied" "${patches[@]}" /dev/null | sed -n 's,^+++ b/\([^[:space:]]*\).*,\1,p' |
    sort -u > "$stage/.files"
while read -r f; do
    [ -e "$src/pristine/$f" ] || continue
    mkdir -p "$stage/$(dirname "$f")"
    cp "$src/pristine/$f" "$stage/$f"
done < "$stage/.files"
for p in "${patches[@]}"; do
    echo "qemu: applying $(basename "$p")" >&2
    patch -d "$stage" -p1 -s --forward --no-backup-if-mismatch < "$p" >&2
done
while read -r f; do
    if [ ! -e "$stage/$f" ]; then
        rm -f "$tree/$f"
    elif ! cmp -s "$stage/$f" "$tree/$f"; then
        mkdir -p "$tree/$(dirname "$f")"
        cp "$stage/$f" "$tree/$f"
    fi
done < "$stage/.files"
cat "${patches[@]}" /dev/null > "$tree/.salvex-applied"
rm -rf "$stage"

build="$src/build"
stamp="$build/.salvex-options"
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "${options[*]}" ]; then
    rm -rf "$build"
    mkdir -p "$build"
    (cd "$build" && nice -n 19 "$tree/configure" "${options[@]}" >&2)
    echo "${options[*]}" > "$stamp"
fi
echo "qemu: building qemu-system-x86_64 (nice 19, -j2)" >&2
nice -n 19 ninja -C "$build" -j2 qemu-system-x86_64 >&2

mkdir -p "$(dirname "$out").part"
strip -o "$(dirname "$out").part/qemu-system-x86_64" "$build/qemu-system-x86_64"
rm -rf "$(dirname "$out")"
mv "$(dirname "$out").part" "$(dirname "$out")"
# Older builds of this version go; the source and build trees stay for the next rebuild.
for old in "$cache/qemu-$safe"-*/; do
    [ "$old" = "$(dirname "$out")/" ] || rm -rf "$old"
done
echo "$out"
