#!/usr/bin/env bash
# tools/fresh-root.sh [--prepare] RELEASE [DIR]: the README's two commands as a newcomer
# meets them. Makes a brand-new Debian root of RELEASE (bookworm, trixie) in
# DIR with `debootstrap --variant=minbase`, gives it only what a plain Python
# build machine has (PACKAGES, without recommends), clones this repository's
# checked-out branch into it, and runs `make demo`, then `make test`, once
# each in a chroot, with nothing done in between. Ends with the exit status
# and wall time of each and the interpreter summary of `make test`; the whole
# output is in DIR.log.
#
# A manual check, not part of CI: it needs root and debootstrap, downloads a
# few hundred MB and takes a long while. The root as debootstrap and apt left
# it is kept in DIR.pristine.tar, and every run starts from a new copy of it;
# remove that file to download everything again (--prepare makes only that
# file). DIR is replaced on each run and left behind afterwards for a look;
# nothing stays mounted.
set -euo pipefail
# All of it is read before any of it runs: the run is long, and bash would
# otherwise go on reading this file at its old offset if a checkout changed it.
{

prepare_only=0
if [ "${1:-}" = --prepare ]; then prepare_only=1; shift; fi
RELEASE=${1:?usage: tools/fresh-root.sh [--prepare] RELEASE [DIR]}
DIR=${2:-/var/tmp/vorlane-roots/$RELEASE}
PACKAGES="python3 python3-pip python3-venv g++ make cmake git ca-certificates"
MIRROR=http://deb.debian.org/debian
REPO=$(cd "$(dirname "$0")/.." && pwd)
BRANCH=$(git -C "$REPO" rev-parse --abbrev-ref HEAD)

[ "$(id -u)" = 0 ] || { echo "fresh-root: run as root (debootstrap, chroot, mount)" >&2; exit 2; }
command -v debootstrap >/dev/null || { echo "fresh-root: apt-get install debootstrap first" >&2; exit 2; }
case "$DIR" in "$REPO"|"$REPO"/*) echo "fresh-root: DIR must lie outside the repository" >&2; exit 2;; esac

mounted=()
mount_into() {   # mount_into ROOT: what a chroot needs from the host
    local root=$1
    mount -t proc proc "$root/proc" && mounted=("$root/proc" "${mounted[@]}")
    mount -t sysfs sysfs "$root/sys" && mounted=("$root/sys" "${mounted[@]}")
    mount --bind /dev "$root/dev" && mounted=("$root/dev" "${mounted[@]}")
    # A plain bind leaves out /dev's own submounts; Python's semaphores need shm.
    mount --bind /dev/pts "$root/dev/pts" && mounted=("$root/dev/pts" "${mounted[@]}")
    mount -t tmpfs shm "$root/dev/shm" && mounted=("$root/dev/shm" "${mounted[@]}")
    cp /etc/resolv.conf "$root/etc/resolv.conf"
}
unmount_all() {
    local m
    for m in "${mounted[@]}"; do umount "$m" || umount -l "$m"; done
    mounted=()
}
trap unmount_all EXIT
# Never descend into a mount (a bind of /dev left by a run that was killed).
clear_dir() {
    if findmnt -rn -o TARGET | grep -q "^$1/"; then
        echo "fresh-root: something is still mounted under $1; unmount it first" >&2
        exit 1
    fi
    rm -rf --one-file-system "$1"
}
trap 'exit 130' INT TERM

# Where this machine reaches PyPI only through a TLS-inspecting proxy, it
# trusts the proxy's certificate locally, and pip and Python are told so by
# the environment: the root gets the same trust and settings, which belong to
# the machine's network, not to the project. Elsewhere there are none.
host_network() {
    local root=$1 v
    if compgen -G '/usr/local/share/ca-certificates/*.crt' >/dev/null; then
        cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/"
        chroot "$root" update-ca-certificates >/dev/null
    fi
    for v in PIP_CERT SSL_CERT_FILE REQUESTS_CA_BUNDLE; do
        [ -n "${!v:-}" ] && echo "$v=${!v}"
    done
    return 0
}

# --- the pristine root ---------------------------------------------------------
if [ ! -f "$DIR.pristine.tar" ]; then
    tmp=$DIR.debootstrap
    clear_dir "$tmp" && mkdir -p "$tmp"
    debootstrap --variant=minbase "$RELEASE" "$tmp" "$MIRROR"
    mount_into "$tmp"
    chroot "$tmp" apt-get update -q
    chroot "$tmp" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends $PACKAGES
    chroot "$tmp" apt-get clean
    unmount_all
    tar -C "$tmp" -cf "$DIR.pristine.tar.part" .
    mv "$DIR.pristine.tar.part" "$DIR.pristine.tar"
    clear_dir "$tmp"
fi
[ "$prepare_only" = 1 ] && exit 0

# --- a new copy of it, and a clean clone ---------------------------------------
clear_dir "$DIR" && mkdir -p "$DIR"
tar -C "$DIR" -xf "$DIR.pristine.tar"
# A bundle carries the branch's history only: the clone inside knows nothing
# of this work tree (no hard links, no untracked files, no builds).
git -C "$REPO" bundle create "$DIR/root/vorlane.bundle" "$BRANCH" 2>/dev/null
mount_into "$DIR"
mapfile -t network_env < <(host_network "$DIR")

# --- the two commands ------------------------------------------------------------
exec > >(tee "$DIR.log") 2>&1
echo "fresh-root: $RELEASE, $(cat "$DIR/etc/debian_version"), branch $BRANCH at $(git -C "$REPO" rev-parse --short "$BRANCH")"
echo "fresh-root: the host's network settings passed on: ${network_env[*]:-none}"
chroot "$DIR" env -i HOME=/root TERM="${TERM:-dumb}" LANG=C.UTF-8 "${network_env[@]}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c '
set -u
git clone -q -b '"$BRANCH"' /root/vorlane.bundle /root/vorlane && rm /root/vorlane.bundle
cd /root/vorlane
results=()
for target in demo test; do
    echo "=== fresh-root: make $target ==="
    start=$(date +%s)
    make $target
    status=$?
    results+=("make $target: exit status $status, $(( $(date +%s) - start )) s wall")
done
echo "=== fresh-root: results ==="
printf "%s\n" "${results[@]}"
'
exit
}
