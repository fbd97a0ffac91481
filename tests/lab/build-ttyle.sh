#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the lab's test serial driver (ttyle.ko) into OUTDIR, for the kernel the lab's
# guest boots. That kernel's headers are installed with apt: a module loads only into the
# kernel ABI it was built for, so ABI defaults to the one Debian's linux-image-amd64
# depends on, the package the lab boots; pass the lab's own to be sure both agree.
# usage: tests/lab/build-ttyle.sh OUTDIR [ABI]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: build-ttyle.sh OUTDIR [ABI]}

image_abi() { apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: linux-image-//p' | head -n1; }
# quiet unless it fails
apt() { local log; log=$(DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -q "$@" 2>&1) || { echo "$log" >&2; return 1; }; }

abi=${2:-$(image_abi)}
if [ -z "$abi" ]; then
    apt update
    abi=$(image_abi)
fi
[ -n "$abi" ] || { echo "build-ttyle: no linux-image-amd64 ABI known to apt" >&2; exit 1; }
headers=/usr/src/linux-headers-$abi
if [ ! -e "$headers/Makefile" ]; then
    pkgs=("linux-headers-$abi" make)
    apt install -y --no-install-recommends "${pkgs[@]}" ||
        { apt update && apt install -y --no-install-recommends "${pkgs[@]}"; }
fi

mkdir -p "$out"
out=$(cd "$out" && pwd)
cp "$here/ttyle.c" "$here/Kbuild" "$out/"
# No vmlinux comes with the headers, so there is no BTF to add to the module.
make -s -C "$headers" M="$out" CONFIG_DEBUG_INFO_BTF_MODULES= modules

vermagic=$(grep -a -o 'vermagic=[^[:cntrl:]]*' "$out/ttyle.ko" | cut -d= -f2)
case "$vermagic" in
"$abi "*) echo "build-ttyle: $out/ttyle.ko for $abi" ;;
*) echo "build-ttyle: ttyle.ko says '$vermagic', not $abi" >&2; exit 1 ;;
esac
