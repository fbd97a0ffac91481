#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The lab: salvex on real Linux serial drivers (8250, ftdi_sio, cdc_acm) in a virtual
# machine running Debian's own kernel. Installs what it needs, builds the lab's QEMU (the
# installed version's Debian source, patched to put line errors on the line: see
# tests/lab/qemu/), fetches the kernel package and unpacks it into the cache (never
# installs it), builds the guest's initramfs and salvex, boots one guest and runs the case
# sets (tests/lab/cases/), printing PASS, FAIL or SKIP for each and writing the results as
# JUnit XML (lab-results.xml in the build folder). Exits non-zero if any case fails.
#   scripts/lab.sh [BUILD_DIR [--cases 8250,ftdi,acm,ttyle]]   (default build/, or SALVEX_BUILD)
# The cache is ~/.cache/salvex/lab, or SALVEX_LAB_CACHE; the kernel's ABI is written to
# its file "abi" for whatever builds modules against the matching headers.
# Another Debian in the guest (scripts/debian13.sh does this): SALVEX_LAB_ROOT names its
# root, whose /usr and /etc the guest runs on, and SALVEX_LAB_KERNEL_DEB its kernel
# package; BUILD_DIR is then a build made in that root.
# SALVEX_LAB_QEMU=stock runs Debian's QEMU unpatched: the line-error cases are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
build=$(realpath -m "${1:-${SALVEX_BUILD:-build}}")
cache=${SALVEX_LAB_CACHE:-$HOME/.cache/salvex/lab}
mkdir -p "$cache"
cache=$(realpath "$cache")
start=$(date +%s)

packages=(qemu-system-x86 busybox-static kmod cpio gzip xz-utils strace python3 python3-pyatspi at-spi2-core dbus
    xvfb xdotool imagemagick x11-utils)
# shellcheck source=scripts/apt.sh
. scripts/apt.sh
install_missing "${packages[@]}"

root=${SALVEX_LAB_ROOT:-}
qemu=qemu-system-x86_64
unpatched=no
if [ "${SALVEX_LAB_QEMU:-}" != stock ]; then
    if built=$(nice -n 19 tests/lab/qemu/build.sh "$cache" | tail -n 1) && [ -x "$built" ]; then
        qemu=$built
    else
        # The cases go on with Debian's QEMU for their evidence; the run fails all the same.
        echo "lab: the patched QEMU did not build; Debian's runs, without the line-error cases" >&2
        unpatched=yes
    fi
fi
echo "lab: $qemu"

# The kernel Debian installs today (or the other Debian's, as given), unpacked only.
if [ -n "$root" ]; then
    deb=${SALVEX_LAB_KERNEL_DEB:?the kernel package of the other Debian}
    abi=$(dpkg-deb -f "$deb" Package)
    abi=${abi#linux-image-}
else
    abi=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: linux-image-\([0-9].*\)$/\1/p' | head -n 1)
    [ -n "$abi" ] || { echo "lab: no kernel package behind linux-image-amd64" >&2; exit 1; }
    echo "$abi" > "$cache/abi"
fi
echo "lab: guest kernel $abi"
kernel="$cache/kernel-$abi"
if [ ! -s "$kernel/boot/vmlinuz-$abi" ]; then
    if [ -z "$root" ]; then
        debs=("$cache"/linux-image-"$abi"_*.deb)
        if [ ! -e "${debs[0]}" ]; then
            (cd "$cache" && apt-get -o DPkg::Lock::Timeout=600 download "linux-image-$abi")
            debs=("$cache"/linux-image-"$abi"_*.deb)
        fi
        deb=${debs[0]}
    fi
    rm -rf "$kernel.part"
    dpkg-deb -x "$deb" "$kernel.part"
    # Debian 13 puts modules under /usr/lib; depmod and modprobe -d look under lib/.
    if [ ! -e "$kernel.part/lib" ] && [ -d "$kernel.part/usr/lib/modules" ]; then
        ln -s usr/lib "$kernel.part/lib"
    fi
    depmod -b "$kernel.part" "$abi"
    mv "$kernel.part" "$kernel"
fi

# The initramfs: busybox, the guest's init and what it needs to reach the 9p shares and
# the virtio port; every other module is loaded from the cache once the root is up.
initrd="$cache/initramfs-$abi.cpio.gz"
if [ ! -s "$initrd" ] || [ tests/lab/init -nt "$initrd" ]; then
    tree=$(mktemp -d)
    mkdir -p "$tree/bin" "$tree/modules" "$tree/proc" "$tree/sys" "$tree/dev"
    cp /bin/busybox "$tree/bin/busybox"
    cp tests/lab/init "$tree/init"
    chmod 755 "$tree/init"
    for m in virtio_pci 9pnet_virtio 9p virtio_console; do
        modprobe -d "$kernel" -S "$abi" --show-depends "$m" | awk '$1 == "insmod" { print $2 }'
    done | awk '!seen[$0]++' | while read -r ko; do
        # busybox's insmod takes a module as it is: a compressed one is unpacked here.
        name=$(basename "$ko")
        plain=${name%.xz}
        case $name in
        *.xz) xz -dc "$ko" > "$tree/modules/$plain" ;;
        *) cp "$ko" "$tree/modules/" ;;
        esac
        echo "$plain" >> "$tree/modules.order"
    done
    (cd "$tree" && find . | cpio -o -H newc --quiet | gzip -1) > "$initrd.part"
    mv "$initrd.part" "$initrd"
    rm -rf "$tree"
fi

# The test serial driver, built against the headers of exactly the guest's kernel (a module
# built for another ABI does not load); this Debian's headers only.
ttyle="$cache/ttyle-$abi"
if [ -z "$root" ] && { [ ! -s "$ttyle/ttyle.ko" ] || [ tests/lab/ttyle.c -nt "$ttyle/ttyle.ko" ]; }; then
    tests/lab/build-ttyle.sh "$ttyle" "$abi"
fi

if [ -n "$root" ]; then
    [ -x "$build/app/salvex" ] || { echo "lab: no salvex built in $build" >&2; exit 1; }
elif [ -x "$build/app/salvex" ]; then
    cmake --build "$build" -j2 --target salvex salvex-sim
else
    SALVEX_BUILD="$build" scripts/setup.sh
fi

work=$(mktemp -d /tmp/salvex-lab.XXXXXX)
pids=()
cleanup() { # shellcheck disable=SC2317 # run by the trap
    for p in "${pids[@]}" $(cat "$work/qemu.pid" 2> /dev/null); do kill "$p" 2> /dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM
guest=(--usr "${root:-}/usr" --etc "${root:-}/etc" --fontconfig "${root:-}/var/cache/fontconfig")
[ ! -s "$ttyle/ttyle.ko" ] || [ -n "$root" ] || guest+=(--ttyle "$ttyle/ttyle.ko")
python3 tests/lab/run.py --repo "$repo" --build "$build" --kernel "$kernel/boot/vmlinuz-$abi" \
    --initrd "$initrd" --cache "$cache" --work "$work" --qemu "$qemu" "${guest[@]}" \
    --suite "lab on $(. "${root:-}/etc/os-release" && echo "$PRETTY_NAME"), Linux $abi" \
    --junit "$build/lab-results.xml" "${@:2}" &
pids+=($!)
status=0
wait "${pids[0]}" || status=$?
echo "lab: $(($(date +%s) - start)) s in all; evidence in $work"
[ "$unpatched" = no ] || status=1
exit $status
