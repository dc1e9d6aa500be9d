#!/usr/bin/env bash
# Runs the real `velkaro --watch` where the machine's terminals are a made-up
# sysfs (bound over /sys/class/tty, with a driver list of its own, in the
# namespace of tests/without_serial_ports.sh): it tells the ports there,
# opens none, and a SIGTERM ends it by that signal with every line whole;
# to a closed standard output it fails with status 1, and into a pipe whose
# reader has gone it ends by SIGPIPE at once.
#   tests/watch_program_test.sh VELKARO
set -euo pipefail
say() { echo "watch_program_test: $*" >&2; }
[ $# -eq 1 ] || { say "usage: $0 VELKARO"; exit 2; }
exe=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
watcher=
cleanup() {
  [ -z "$watcher" ] || kill "$watcher" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
failed=0

# A legacy UART and a USB adapter, each with a device behind it; a virtual
# console, which is no serial port.
port() {
  mkdir -p "$work/tty/$1" "$work/devices/$1"
  echo "$2" >"$work/tty/$1/dev"
  ln -s "$work/devices/$1" "$work/tty/$1/device"
}
port ttyS0 4:64
printf '4\n' >"$work/tty/ttyS0/type"
printf '0x3F8\n' >"$work/tty/ttyS0/port"
printf '4\n' >"$work/tty/ttyS0/irq"
port ttyUSB3 188:3
mkdir -p "$work/tty/tty1"
echo 4:1 >"$work/tty/tty1/dev"
printf 'serial /dev/ttyS 4 64-111 serial\nusbserial /dev/ttyUSB 188 0-511 serial\n' >"$work/drivers"

# Runs the program in the namespace, where the made-up machine is the one
# there is, and a node stands in for ttyUSB3's. Each step execs the next,
# so that the process started is the program itself, whose pid the test
# holds and signals.
inside() {
  exec bash "$here/without_serial_ports.sh" bash -c '
    mount --bind "$1/tty" /sys/class/tty && mount --bind "$1/drivers" /proc/tty/drivers &&
      touch /dev/ttyUSB3 && shift && exec "$@"' inside "$work" "$exe" --watch "$@"
}

for json in "" --json; do
  (inside $json) >"$work/out" 2>"$work/err" &
  watcher=$!
  for _ in $(seq 200); do
    [ "$(wc -l <"$work/out")" -ge 2 ] && break
    sleep 0.05
  done
  [ "$(cat "/proc/$watcher/comm" 2>/dev/null)" = velkaro ] ||
    { say "the process held is not the program"; failed=1; }
  # Each line went out as it was written, not at the end.
  [ "$(wc -l <"$work/out")" -ge 2 ] || { say "--watch $json held its lines back"; failed=1; }
  sleep 0.2  # nothing more comes
  kill -TERM "$watcher"
  status=0
  wait "$watcher" || status=$?
  watcher=
  [ "$status" -eq 143 ] || { say "--watch $json ended with status $status, not 143"; failed=1; }
  # Every line whole, ending in a newline, and nothing but the two ports.
  [ -z "$(tail -c 1 "$work/out")" ] || { say "--watch $json left a line cut"; failed=1; }
  if [ -z "$json" ]; then
    got=$(sed -E 's/^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]{12}[+-][0-9]{2}:[0-9]{2} //' "$work/out")
    wanted='present COM1 ttyS0 (/dev/ttyS0): absent: no device node; 16550A UART at I/O 0x3f8, IRQ 4
present ttyUSB3 (/dev/ttyUSB3): present, not opened: no other program seen using it'
  else
    got=$(jq -c '[.event, .port, .device, .present, .hardware.uart]' "$work/out")
    wanted='["present","COM1","/dev/ttyS0",false,"16550A"]
["present",null,"/dev/ttyUSB3",true,null]'
  fi
  [ "$got" = "$wanted" ] || { say "--watch $json printed:"; cat "$work/out" "$work/err" >&2; failed=1; }
done

# A closed standard output fails at the first line; a pipe whose reader
# has gone ends the watch by SIGPIPE, though no port comes to be written.
status=0
(inside) >&- 2>"$work/err" || status=$?
[ "$status" -eq 1 ] && grep -q "^velkaro: cannot write the watch: " "$work/err" ||
  { say "--watch to a closed output: status $status"; cat "$work/err" >&2; failed=1; }
status=0
timeout 10 bash -c "$(declare -f inside); work=$work here=$here exe=$exe;"' (inside) | head -n 1 >/dev/null; exit ${PIPESTATUS[0]}' || status=$?
[ "$status" -eq 141 ] || { say "--watch into a pipe whose reader went: status $status, not 141"; failed=1; }

[ "$failed" -eq 0 ] && echo "watch_program_test: --watch as lines and JSON, ended by SIGTERM; a closed output; a pipe whose reader went"
exit "$failed"
