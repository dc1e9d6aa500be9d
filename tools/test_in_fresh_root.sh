#!/usr/bin/env bash
# Runs the README's test command (tools/test.sh) as a new user would: in a
# fresh minimal root of the given Debian release, as root, with this
# checkout's committed state in /root/velkaro (mode 700). Prints where it
# failed.
#   tools/test_in_fresh_root.sh RELEASE [ROOT]
# RELEASE is 12, 13 or a codename. A ROOT that already exists is used again
# instead of a new one (quicker, but not fresh); otherwise the root is made
# and removed again. Needs root, debootstrap, git and unshare. The root's /dev
# holds no serial port, so nothing run there can reach the machine's own.
set -euo pipefail
say() { echo "test_in_fresh_root: $*" >&2; }
case "${1:-}" in
  12 | bookworm) release=bookworm ;;
  13 | trixie) release=trixie ;;
  "") say "usage: $0 RELEASE [ROOT]"; exit 2 ;;
  *) release=$1 ;;
esac
here=$(cd "$(dirname "$0")/.." && pwd)
for tool in debootstrap git unshare chroot; do
  command -v "$tool" >/dev/null || { say "$tool is needed"; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { say "needs root for debootstrap and chroot"; exit 1; }
mirror=${VELKARO_DEBIAN_MIRROR:-http://deb.debian.org/debian/}

root=${2:-}
if [ -z "$root" ]; then
  root=$(mktemp -d /var/tmp/velkaro-root.XXXXXX)
  chmod 755 "$root"  # a root directory every user may enter
  trap 'grep -q " $root/" /proc/self/mounts || rm -rf "$root"' EXIT
fi
if [ ! -x "$root/bin/bash" ]; then
  echo "test_in_fresh_root: making a minimal Debian $release root in $root"
  debootstrap --variant=minbase "$release" "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
    { tail -n 20 "$root.debootstrap.log" >&2; say "debootstrap failed"; exit 1; }
fi
rm -rf "$root/root/velkaro"
git clone -q "$here" "$root/root/velkaro"
chmod 700 "$root/root" "$root/root/velkaro"
cp /etc/resolv.conf "$root/etc/resolv.conf"

log=$root.test.log
echo "test_in_fresh_root: running tools/test.sh in the Debian $release root; log in $log"
status=0
# A private mount and pid namespace: /proc and /sys of its own, and a /dev
# with only the nodes a desktop program and the tests need.
unshare --mount --pid --fork --propagation private -- bash -euo pipefail -c '
  root=$1
  mount --bind "$root" "$root"  # a mount point, as a real root is
  mount -t proc proc "$root/proc"
  mount -t sysfs -o ro sysfs "$root/sys"
  mount -t tmpfs -o mode=755,nosuid velkaro-dev "$root/dev"
  for node in null zero full random urandom tty; do
    touch "$root/dev/$node"
    mount --bind "/dev/$node" "$root/dev/$node"
  done
  mkdir "$root/dev/pts" "$root/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$root/dev/pts"
  ln -s pts/ptmx "$root/dev/ptmx"
  mount -t tmpfs -o mode=1777 velkaro-shm "$root/dev/shm"
  mount -t tmpfs -o mode=1777 velkaro-tmp "$root/tmp"
  exec chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 bash -c "cd /root/velkaro && tools/test.sh"' fresh_root "$root" >"$log" 2>&1 ||
  status=$?
if [ "$status" -ne 0 ]; then
  say "Debian $release: tools/test.sh failed with status $status, in the step:"
  grep '^== ' "$log" | tail -n 1 >&2 || true
  # The test command stops at its first failure: what it said last is why.
  tail -n 25 "$log" >&2
  exit 1
fi
echo "test_in_fresh_root: Debian $release: tools/test.sh passed"
grep '^== .*: [0-9]* s$' "$log" || true
