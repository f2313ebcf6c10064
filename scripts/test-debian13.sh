#!/usr/bin/env bash
# Runs the test command (scripts/test.sh) on Debian 13 "trixie" as well: in a
# minimal chroot made with debootstrap from the Debian archive that this
# machine's apt already uses. The chroot is kept in a cache folder outside the
# clone (MORVASTEL_CACHE, by default ~/.cache/morvastel), so a later run only
# updates its packages. The sources are copied in fresh every time.
set -euo pipefail
[ "$(id -u)" -eq 0 ] || exec sudo -- "$0" "$@"

source_dir=$(cd "$(dirname "$0")/.." && pwd)
cache=${MORVASTEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/morvastel}
root=$cache/debian13
suite=trixie

mkdir -p "$cache"
exec 9>"$cache/debian13.lock"
flock 9 # one run at a time per chroot

# Everything mounted below the chroot, deepest first.
mounted_below() {
    awk -v root="$root/" 'index($2, root) == 1 { print $2 }' /proc/self/mounts | sort -r
}

release_chroot() {
    # Processes left behind in the chroot (an X server, a hung test) would keep
    # its mounts busy.
    local proc
    for proc in /proc/[0-9]*; do
        [ "$(readlink "$proc/root" 2>/dev/null)" = "$root" ] && kill -9 "${proc#/proc/}" 2>/dev/null
    done
    local mount
    for mount in $(mounted_below); do
        umount "$mount" 2>/dev/null || umount -l "$mount"
    done
}

cleanup() {
    local status=$?
    release_chroot
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A crashed earlier run may have left mounts behind.
release_chroot

seconds() { date +%s; }
started=$(seconds)

if ! command -v debootstrap >/dev/null; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends debootstrap
fi

# The Debian archives that apt uses here: the main one, and the security one
# where apt has it. Nothing else is guessed.
archive() {
    apt-get indextargets --format '$(REPO_URI)' "Label: $1" 'Identifier: Packages' 2>/dev/null \
        | head -n 1
}
mirror=$(archive Debian)
security=$(archive Debian-Security)
if [ -z "$mirror" ]; then
    echo "apt's configuration names no Debian archive to make the chroot from:" \
         "add one to /etc/apt/sources.list and run apt-get update" >&2
    exit 1
fi

if [ ! -e "$root/.complete" ]; then
    echo "== making a Debian 13 chroot in $root from $mirror"
    [ -z "$(mounted_below)" ] || { echo "still mounted below $root"; exit 1; }
    rm -rf "$root"
    debootstrap --variant=minbase "$suite" "$root" "$mirror"
    {
        echo "deb $mirror $suite main"
        echo "deb $mirror $suite-updates main"
        [ -z "$security" ] || echo "deb $security $suite-security main"
    } >"$root/etc/apt/sources.list"
    touch "$root/.complete"
fi

# The same apt network settings (proxy, validity checks) as this machine.
apt-config dump Acquire >"$root/etc/apt/apt.conf.d/90host-acquire"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"

mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --make-rslave "$root/sys"
mount --rbind /dev "$root/dev"
mount --make-rslave "$root/dev"

in_chroot() {
    chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

echo "== updating the chroot's packages"
in_chroot apt-get update
in_chroot env DEBIAN_FRONTEND=noninteractive apt-get -y dist-upgrade
prepared=$(seconds)

# Tracked and new files as they are in the working tree, without build output.
rm -rf "$root/root/morvastel"
mkdir -p "$root/root/morvastel"
if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$source_dir" ls-files -z --cached --others --exclude-standard \
        | tar -C "$source_dir" --null -T - --ignore-failed-read -cf - \
        | tar -C "$root/root/morvastel" -xf -
else
    tar -C "$source_dir" --exclude='./build*' -cf - . | tar -C "$root/root/morvastel" -xf -
fi

echo "== Debian 13: scripts/test.sh"
in_chroot bash -c 'cd /root/morvastel && scripts/test.sh'
in_chroot apt-get clean
finished=$(seconds)
echo "== Debian 13 passed: chroot ready in $((prepared - started)) s, test command in $((finished - prepared)) s"
