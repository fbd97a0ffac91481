# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Sourced by the scripts that install packages. apt_get runs apt-get as root, but first
# waits, for up to five minutes and saying so, while another package manager holds apt's
# locks: on a freshly installed desktop the automatic upgrades hold them for minutes after
# boot, and apt-get would fail at once. Both the install lock (dpkg's) and the update lock
# (the package lists') are waited for.

apt_locks=(/var/lib/dpkg/lock-frontend /var/lib/dpkg/lock /var/lib/apt/lists/lock
    /var/cache/apt/archives/lock)
apt_wait_seconds=300

apt_sudo=""
[ "$(id -u)" -eq 0 ] || apt_sudo="sudo"

# Whether another process holds one of apt's locks. apt locks with fcntl, which the shell
# cannot ask about; perl, which Debian always has, can (struct flock of a 64-bit system).
apt_busy() {
    # shellcheck disable=SC2016 # perl's own variables
    $apt_sudo perl -MFcntl -e '
        for my $path (@ARGV) {
            open(my $fh, "<", $path) or next;
            my $lock = pack("s s x4 q q i x4", F_WRLCK, 0, 0, 0, 0);
            fcntl($fh, F_GETLK, $lock) or next;
            my ($type, $pid) = (unpack("s s x4 q q i x4", $lock))[0, 4];
            if ($type != F_UNLCK) { print "$pid\n"; exit 0; }
        }
        exit 1' "${apt_locks[@]}"
}

# Installs those of the packages named that are not installed yet.
install_missing() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2> /dev/null | grep -q "ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        apt_get update
        apt_get install -y --no-install-recommends "${missing[@]}"
    fi
}

apt_get() {
    local waited=0 holder
    while holder=$(apt_busy); do
        if [ "$waited" -eq 0 ]; then
            echo "Waiting for another package manager to finish (process $holder," \
                "$(ps -o comm= -p "$holder" 2> /dev/null || echo "?")), for up to" \
                "$((apt_wait_seconds / 60)) minutes..." >&2
        fi
        if [ "$waited" -ge "$apt_wait_seconds" ]; then
            echo "Another package manager still holds apt's lock; try again later." >&2
            return 1
        fi
        sleep 2
        waited=$((waited + 2))
    done
    [ "$waited" -eq 0 ] || echo "The package manager is free after ${waited} s." >&2
    # apt's own wait covers the moment between the look above and apt-get taking the lock.
    $apt_sudo env DEBIAN_FRONTEND=noninteractive \
        apt-get -o DPkg::Lock::Timeout="$apt_wait_seconds" "$@"
}
