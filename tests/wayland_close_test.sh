#!/usr/bin/env bash
# Closes the program's window 50 times in a row on a Wayland compositor with
# no X server beside it (a headless sway), and checks that every time the
# process ends by itself within a second. Runs as user nobody, as sway will
# not run as root, in a mount namespace with no serial ports; needs root for
# that.
#   tests/wayland_close_test.sh VELKARO [TIMES]
set -euo pipefail
say() { echo "wayland_close_test: $*" >&2; }
if [ $# -lt 1 ] || [ ! -x "$1" ]; then
  say "usage: $0 VELKARO [TIMES]"
  exit 2
fi
exe=$1 times=${2:-50}
here=$(cd "$(dirname "$0")" && pwd)
for tool in sway swaymsg setpriv; do
  command -v "$tool" >/dev/null || { say "$tool is needed; tools/install-deps.sh test installs it"; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { say "needs root, to run as nobody without serial ports"; exit 1; }

runtime=$(mktemp -d)
# The program may sit where nobody cannot reach it (a checkout in /root): run
# a copy from nobody's own directory.
cp "$exe" "$runtime/velkaro"
chown -R nobody:nogroup "$runtime"
chmod 700 "$runtime"
exe=$runtime/velkaro
as_nobody() {
  setpriv --reuid=65534 --regid=65534 --clear-groups \
    env -i PATH=/usr/bin:/bin HOME="$runtime" XDG_RUNTIME_DIR="$runtime" "$@"
}
# Started straight, not through the function, so that $! is sway itself.
setpriv --reuid=65534 --regid=65534 --clear-groups \
  env -i PATH=/usr/bin:/bin HOME="$runtime" XDG_RUNTIME_DIR="$runtime" WLR_BACKENDS=headless \
  WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman sway -c /dev/null >"$runtime/sway.log" 2>&1 &
sway=$!
run=
cleanup() {
  [ -n "$run" ] && kill -9 "$run" 2>/dev/null
  kill "$sway" 2>/dev/null
  wait "$sway" 2>/dev/null || true
  rm -rf "$runtime"
}
trap cleanup EXIT
# Polls CONDITION every 0.05 s for up to TENTHS tenths of a second while the
# process PID lives; true once the condition holds.
poll() {
  local tenths=$1 pid=$2
  shift 2
  for _ in $(seq $((tenths * 2))); do
    "$@" && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}
sway_ready() {
  ipc=$(ls "$runtime"/sway-ipc.*.sock 2>/dev/null | head -n 1) || true
  [ -n "$ipc" ] && [ -S "$runtime/wayland-1" ]
}
window_shown() {
  as_nobody swaymsg -s "$ipc" -t get_tree 2>/dev/null | grep -q '"app_id": "org.velkaro.Velkaro"'
}
ended() { ! kill -0 "$run" 2>/dev/null; }
if ! poll 100 "$sway" sway_ready; then
  cat "$runtime/sway.log" >&2
  say "sway did not start"
  exit 1
fi

for i in $(seq "$times"); do
  bash "$here/without_serial_ports.sh" setpriv --reuid=65534 --regid=65534 --clear-groups \
    env -i PATH=/usr/bin:/bin HOME="$runtime" XDG_RUNTIME_DIR="$runtime" WAYLAND_DISPLAY=wayland-1 \
    QT_QPA_PLATFORM=wayland "$exe" >"$runtime/velkaro.log" 2>&1 &
  run=$!
  if ! poll 100 "$run" window_shown; then
    cat "$runtime/velkaro.log" >&2
    say "close $i: the window never appeared"
    exit 1
  fi
  as_nobody swaymsg -s "$ipc" '[app_id="org.velkaro.Velkaro"] kill' >/dev/null
  if ! poll 10 "$run" ended && ! ended; then
    say "close $i: the process was still running a second after its window closed"
    exit 1
  fi
  wait "$run" || { cat "$runtime/velkaro.log" >&2; say "close $i: the program failed"; exit 1; }
  run=
done
# An X11 option Qt leaves where no X server is used, alone: refused, naming it.
status=0
bash "$here/without_serial_ports.sh" setpriv --reuid=65534 --regid=65534 --clear-groups \
  env -i PATH=/usr/bin:/bin HOME="$runtime" XDG_RUNTIME_DIR="$runtime" WAYLAND_DISPLAY=wayland-1 \
  QT_QPA_PLATFORM=wayland timeout 10 "$exe" -nograb >"$runtime/velkaro.log" 2>&1 || status=$?
if [ "$status" -ne 2 ] || ! grep -q '^velkaro: Qt did not take -nograb here$' "$runtime/velkaro.log"; then
  cat "$runtime/velkaro.log" >&2
  say "-nograb on Wayland: status $status, not 2 with the option named"
  exit 1
fi
echo "wayland_close_test: $times closes, and every time the process ended within a second"
