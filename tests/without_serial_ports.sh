#!/usr/bin/env bash
# Runs a command in a private mount namespace whose /dev holds no serial port
# nodes, so a program that probes COM1 to COM6 can never reach a real device.
# Only the few device nodes a desktop program needs are carried over.
# VELKARO_PORT_STAND_INS may name up to six terminals (pseudo-terminals) to
# stand in for /dev/ttyS0 onwards; the kernel's console list is then empty,
# so that no stand-in is taken for the machine's console.
set -euo pipefail
if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARG...]" >&2
  exit 2
fi
if ! command -v unshare >/dev/null; then
  echo "without_serial_ports: unshare (util-linux) is needed" >&2
  exit 1
fi
exec unshare --mount --propagation private -- bash -euo pipefail -c '
  real=$(mktemp -d)
  mount --rbind /dev "$real"
  mount -t tmpfs -o mode=755,nosuid velkaro-dev /dev
  for node in null zero full random urandom tty; do
    touch "/dev/$node"
    mount --bind "$real/$node" "/dev/$node"
  done
  mkdir /dev/pts /dev/shm
  mount --rbind "$real/pts" /dev/pts
  ln -s pts/ptmx /dev/ptmx
  i=0
  for stand_in in ${VELKARO_PORT_STAND_INS:-}; do
    touch "/dev/ttyS$i"
    mount --bind "$stand_in" "/dev/ttyS$i"
    i=$((i + 1))
  done
  [ "$i" -eq 0 ] || mount --bind /dev/null /sys/class/tty/console/active
  mount -t tmpfs -o mode=1777 velkaro-shm /dev/shm
  # Where Velkaros take turns at a port: this run'"'"'s own.
  [ ! -d /run/lock ] || mount -t tmpfs -o mode=1777 velkaro-lock /run/lock
  umount -l "$real"
  rmdir "$real"
  exec "$@"' without_serial_ports "$@"
