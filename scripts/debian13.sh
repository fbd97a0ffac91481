#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and tests salvex on Debian 13 (trixie, Qt 6.8) from Debian 12: in a fresh
# minimal trixie root, the same scripts/test.sh and scripts/check-package.sh as on
# Debian 12, each installing what it needs there, and then the lab (scripts/lab.sh) with
# the guest on Debian 13's kernel and the root's /usr. Run as root. Exits non-zero if a
# test or a check fails. The package, the logs and the tests' evidence land in
# build-debian13/.
# The cache, /var/cache/salvex/debian13 (or SALVEX_DEBIAN13_CACHE), keeps the pristine root
# as made by debootstrap (a tarball, made on the first run) and every package fetched; each
# run unpacks a fresh root there ("root", kept after a failure until the next run).
#   scripts/debian13.sh --windows [--test]
# runs scripts/build-windows.sh [--test] in the root instead, for the Windows program: its
# packages, log and tests' evidence land in the Windows build folder (SALVEX_BUILD_WIN, by
# default build-win); Qt for Windows is kept in the cache's qt/ from one run to the next.
set -euo pipefail
self=$(realpath "$0")
cd "$(dirname "$self")/.."
repo=$(pwd)

# Everything mounted below lives in a mount and PID namespace of its own: should the run
# be killed, even with SIGKILL, the kernel ends whatever still runs in the root and drops
# its mounts, and the tmpfs mounts the tests make never show on the host. Where no
# namespace can be made, the trap below is the only guard.
if [ -z "${SALVEX_DEBIAN13_NS:-}" ] && unshare --mount --pid --fork true 2> /dev/null; then
    SALVEX_DEBIAN13_NS=1 exec unshare --mount --propagation private --pid --fork \
        --kill-child "$self" "$@"
fi

mode=linux
windows_args=()
case "${1:-}" in
--windows) mode=windows; windows_args=("${@:2}") ;;
"") ;;
*) echo "usage: $0 [--windows [--test]]" >&2; exit 2 ;;
esac

started=$SECONDS
[ "$(id -u)" -eq 0 ] || { echo "debian13: run as root (it makes a chroot)" >&2; exit 1; }
mirror=http://deb.debian.org/debian
cache=${SALVEX_DEBIAN13_CACHE:-/var/cache/salvex/debian13}
mkdir -p "$cache/archives/partial"
cache=$(realpath "$cache")
pristine="$cache/pristine.tar.gz"
root="$cache/root"
made="$cache/debootstrap"
out="$repo/build-debian13"
build_win=${SALVEX_BUILD_WIN:-build-win}
[ "$mode" = linux ] || out="$repo/$build_win"

# shellcheck source=scripts/apt.sh
. scripts/apt.sh
install_missing debootstrap git

# Two runs would unpack over each other's root.
exec 9> "$cache/lock"
if ! flock -n 9; then
    echo "debian13: another run holds $cache; waiting for it..." >&2
    flock 9
fi

# The processes whose root is the given folder or lies in it.
pids_in() {
    local p r
    for p in /proc/[0-9]*; do
        r=$(readlink "$p/root" 2> /dev/null) || continue
        if [ "$r" = "$1" ] || [ "${r#"$1"/}" != "$r" ]; then echo "${p#/proc/}"; fi
    done
}

# Ends what still runs in the folder and unmounts everything under it, the deepest
# first; a mount still busy is detached lazily. Fails if a mount is left.
release() {
    local dir=$1 pids mounts m _
    pids=$(pids_in "$dir")
    if [ -n "$pids" ]; then
        # shellcheck disable=SC2086 # one id a word
        kill -TERM $pids 2> /dev/null || true
        for _ in $(seq 50); do [ -z "$(pids_in "$dir")" ] && break; sleep 0.1; done
        pids=$(pids_in "$dir")
        # shellcheck disable=SC2086
        [ -z "$pids" ] || kill -KILL $pids 2> /dev/null || true
    fi
    for _ in 1 2 3 4; do
        mounts=$(awk -v d="$dir" '$5 == d || index($5, d "/") == 1 { print $5 }' \
            /proc/self/mountinfo | sort -r)
        [ -n "$mounts" ] || return 0
        while read -r m; do
            umount "$m" 2> /dev/null || umount -l "$m" 2> /dev/null || true
        done <<< "$mounts"
    done
    echo "debian13: still mounted under $dir:" >&2
    awk -v d="$dir" 'index($5, d "/") == 1 { print "  " $5 }' /proc/self/mountinfo >&2
    return 1
}

# Removes a root, never through a mount: the packages' cache is bound inside it.
remove() {
    release "$1"
    rm -rf --one-file-system "$1"
}

# A run killed outside a namespace leaves its root mounted, and maybe still running.
remove "$made"
remove "$root"

cleanup() {
    local status=$?
    trap - EXIT INT TERM HUP
    release "$made" || status=1
    release "$root" || status=1
    if [ "$status" -eq 0 ]; then
        rm -rf --one-file-system "$root"
    elif [ -d "$root" ]; then
        echo "debian13: the root is left in $root for a look, until the next run" >&2
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# --- The root --------------------------------------------------------------------------
root_started=$SECONDS
if [ -s "$pristine" ]; then
    root_how="unpacked from $pristine"
else
    # debootstrap keeps the packages it fetches with apt's, in apt's own file names.
    debootstrap --variant=minbase --cache-dir="$cache/archives" trixie "$made" "$mirror" 9>&-
    tar -C "$made" --numeric-owner --xattrs --xattrs-include='*' \
        -czf "$pristine.part" .
    mv "$pristine.part" "$pristine"
    remove "$made"
    root_how="made with debootstrap and cached in $pristine"
fi
mkdir "$root"
tar -C "$root" --numeric-owner --xattrs --xattrs-include='*' -xpzf "$pristine"

# The name service as the host has it; no service starts in a chroot.
cp -L /etc/resolv.conf /etc/hosts "$root/etc/"
printf '#!/bin/sh\nexit 101\n' > "$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
# The root is thrown away after the run: dpkg need not wait for each file to reach the disk.
echo force-unsafe-io > "$root/etc/dpkg/dpkg.cfg.d/unsafe-io"
# One file a suite, so that a suite out of reach can be left out alone.
rm -f "$root/etc/apt/sources.list"
for suite in trixie trixie-updates trixie-security; do
    uri=$mirror
    [ "$suite" != trixie-security ] || uri=http://deb.debian.org/debian-security
    printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' "$uri" "$suite" \
        /usr/share/keyrings/debian-archive-keyring.gpg > "$root/etc/apt/sources.list.d/$suite.sources"
done

mount -t proc -o nosuid,nodev,noexec proc "$root/proc"
mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$root/sys"
mount --bind "$cache/archives" "$root/var/cache/apt/archives"
# A /dev of its own, with only the nodes the build and the tests use: the host's holds the
# serial console (ttyS0), which nothing here may open. The ptys come from a devpts of the
# root's own, so the host's terminals are out of reach too.
mount -t tmpfs -o mode=755,nosuid,size=1m dev "$root/dev"
mknod -m 666 "$root/dev/null" c 1 3
mknod -m 666 "$root/dev/zero" c 1 5
mknod -m 666 "$root/dev/full" c 1 7
mknod -m 666 "$root/dev/random" c 1 8
mknod -m 666 "$root/dev/urandom" c 1 9
mknod -m 666 "$root/dev/tty" c 5 0
mkdir "$root/dev/pts" "$root/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5,nosuid,noexec devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
ln -s /proc/self/fd "$root/dev/fd"
ln -s /proc/self/fd/0 "$root/dev/stdin"
ln -s /proc/self/fd/1 "$root/dev/stdout"
ln -s /proc/self/fd/2 "$root/dev/stderr"
if [ -n "$(find "$root/dev" -name 'ttyS*' -print -quit)" ]; then
    echo "debian13: a serial device showed up in the root's /dev; stopping" >&2
    exit 1
fi

# The sources as they are now, committed or not; no build folder.
mkdir "$root/salvex"
git -C "$repo" ls-files -z -co --exclude-standard | while IFS= read -r -d '' f; do
    case $f in build*/*) continue ;; esac
    if [ -e "$f" ] || [ -L "$f" ]; then printf '%s\0' "$f"; fi
done | tar -C "$repo" --null -T - -cf - | tar -C "$root/salvex" -xf -
root_took=$((SECONDS - root_started))

proxies=()
for v in http_proxy https_proxy no_proxy; do
    if [ -n "${!v:-}" ]; then proxies+=("$v=${!v}"); fi
done

# Runs a command line in the root's /salvex with the environment of a fresh root login, in
# a session of its own, so that /dev/tty leads to no terminal of the host's, and unable to
# make device nodes. Its output also goes to the log named.
in_root() {
    local log=$1
    shift
    (setsid -w setpriv --bounding-set -mknod chroot "$root" /usr/bin/env -i \
        HOME=/root USER=root LOGNAME=root SHELL=/bin/bash TERM=dumb LANG=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "${proxies[@]}" \
        /bin/bash -c "cd /salvex && $*" 2>&1 | tee -a "$log") 9>&- &
    # Waiting in the background lets an interrupt reach the trap at once. The lock stays
    # with this script, so a run killed outside a namespace leaves nothing that holds it.
    wait $!
}

rm -rf "$out"
mkdir -p "$out"

# --- Packages --------------------------------------------------------------------------
# The packages the scripts install, read from them so that installing them is timed apart
# from the build; whatever is missed here the scripts install themselves.
listed() {
    awk -v name="$2" 'index($0, name "=(") == 1 { on = 1 } on { print } on && /\)/ { exit }' "$1" |
        sed 's/#.*//; s/^[a-z_]*=(//; s/)//' | xargs
}
wanted="$(listed scripts/setup.sh packages) $(listed scripts/check-package.sh tools)"
[ "$mode" = linux ] || wanted=$(listed scripts/build-windows.sh packages)
packages_started=$SECONDS
in_root "$out/packages.log" ". scripts/apt.sh && apt_get update" || true
for suite in trixie-updates trixie-security; do
    if ! compgen -G "$root/var/lib/apt/lists/*_dists_${suite}_InRelease" > /dev/null; then
        echo "debian13: $suite is out of reach; the root goes without it" >&2
        rm "$root/etc/apt/sources.list.d/$suite.sources"
        update=1
    fi
done
# Again without the suites left out, so that the scripts' own updates pass.
if [ -n "${update:-}" ]; then
    in_root "$out/packages.log" ". scripts/apt.sh && apt_get update"
fi
in_root "$out/packages.log" ". scripts/apt.sh && apt_get -y upgrade &&
    apt_get install -y --no-install-recommends $wanted"
packages_took=$((SECONDS - packages_started))
echo "debian13: Qt $(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Version}' qt6-base-dev)"

# --- Build, tests and package ----------------------------------------------------------
failed=()
tests_started=$SECONDS
if [ "$mode" = windows ]; then
    # Qt for Windows, unpacked or built once, outlives the root; the archive is brought in.
    mkdir -p "$cache/qt" "$root/root/.cache/salvex"
    mount --bind "$cache/qt" "$root/root/.cache/salvex"
    archive=()
    if [ -n "${SALVEX_QT_WINDOWS_ARCHIVE:-}" ]; then
        mkdir -p "$root/qt-archive"
        cp "$SALVEX_QT_WINDOWS_ARCHIVE" "$root/qt-archive/"
        archive=(SALVEX_QT_WINDOWS_ARCHIVE="/qt-archive/$(basename "$SALVEX_QT_WINDOWS_ARCHIVE")")
    elif [ -n "${SALVEX_QT_WINDOWS_ARCHIVE+set}" ]; then
        archive=(SALVEX_QT_WINDOWS_ARCHIVE=)
    fi
    in_root "$out/build-windows.log" SALVEX_BUILD_WIN="$build_win" "${archive[@]}" \
        scripts/build-windows.sh "${windows_args[@]}" || failed+=(scripts/build-windows.sh)
    cp "$root/salvex/$build_win"/salvex-*-win64.* "$out/" 2> /dev/null || true
    cp -r "$root/salvex/$build_win/screenshots" "$out/" 2> /dev/null || true
    cp "$root/salvex/$build_win/Testing/Temporary/LastTest.log" "$out/" 2> /dev/null || true
else
    in_root "$out/test.log" scripts/test.sh || failed+=(scripts/test.sh)
fi
tests_took=$((SECONDS - tests_started))
package_started=$SECONDS
if [ "$mode" = linux ]; then
    in_root "$out/check-package.log" scripts/check-package.sh || failed+=(scripts/check-package.sh)
fi
package_took=$((SECONDS - package_started))

# --- The lab ---------------------------------------------------------------------------
# The program built here on Debian 13's own kernel and drivers: the lab's guest runs on
# this root's /usr and /etc (SALVEX_DEBIAN13_LAB=no leaves it out).
lab_started=$SECONDS
if [ "$mode" = linux ] && [ "${SALVEX_DEBIAN13_LAB:-yes}" != no ]; then
    if in_root "$out/lab.log" tests/lab/guest-root.sh; then
        kernel_deb=$cache/archives/$(basename "$(tail -n 1 "$out/lab.log")")
        SALVEX_LAB_ROOT=$root SALVEX_LAB_KERNEL_DEB=$kernel_deb scripts/lab.sh "$root/salvex/build" 9>&- \
            2>&1 | tee -a "$out/lab.log" || failed+=(scripts/lab.sh)
        cp "$root/salvex/build/lab-results.xml" "$out/" 2> /dev/null || true
    else
        failed+=(tests/lab/guest-root.sh)
    fi
fi
lab_took=$((SECONDS - lab_started))

cp "$root"/salvex/build*/salvex_*.deb "$out/" 2> /dev/null || true
[ "$mode" = windows ] || cp "$root/salvex/build/Testing/Temporary/LastTest.log" "$out/" 2> /dev/null || true
for d in "$root"/tmp/salvex-*; do
    if [ -d "$d" ]; then mkdir -p "$out/evidence" && cp -r "$d" "$out/evidence/"; fi
done

span() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }
echo "debian13: $(span $((SECONDS - started))) in all"
echo "  root:      $(span "$root_took") ($root_how)"
echo "  packages:  $(span "$packages_took") (update, upgrade, install)"
if [ "$mode" = windows ]; then
    echo "  windows:   $(span "$tests_took") (scripts/build-windows.sh ${windows_args[*]})"
else
    echo "  tests:     $(span "$tests_took") (scripts/test.sh: build and ctest)"
    echo "  package:   $(span "$package_took") (scripts/check-package.sh)"
    echo "  lab:       $(span "$lab_took") (scripts/lab.sh on Debian 13's kernel and /usr)"
fi
echo "  results in $out: $(cd "$out" && echo *)"
if [ ${#failed[@]} -gt 0 ]; then
    echo "debian13: failed: ${failed[*]}" >&2
    exit 1
fi
