#!/usr/bin/env bash
# Start-up of the Windows program under Wine on Xvfb, beside the floor: a
# minimal Win32 window built the same way, with the same manifest. For each,
# the median over several runs of the time from start to the window being
# shown, and of the peak memory of the program's process. Both run in one
# Wine prefix made for this run, one after the other, in turns.
#   bench/win32_startup_bench.sh [WINDOWS_BUILD_DIR] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# An X server of its own, on a display no other server holds.
[ -n "${VELKARO_WINE_DISPLAY:-}" ] || exec bash "$here/tests/with_xvfb.sh" bash "$0" "$@"
build=${1:-$here/build/windows}
runs=${2:-7}
velkaro=$build/ui/velkaro.exe floor=$build/bench/win32_minimal_window.exe
for tool in xdotool wine wineserver; do
  command -v "$tool" >/dev/null || { echo "win32_startup_bench: $tool is needed" >&2; exit 1; }
done
for exe in "$velkaro" "$floor"; do
  [ -f "$exe" ] || { echo "win32_startup_bench: no $exe; build the Windows tree first" >&2; exit 1; }
done
# Wine maps COM1 to /dev/ttyS0 wherever that node exists, and on some
# machines the console is behind it: Wine runs where /dev has no serial port.
[ "$(id -u)" -eq 0 ] || { echo "win32_startup_bench: needs root, to run Wine without serial ports" >&2; exit 1; }
nodev() { bash "$here/tests/without_serial_ports.sh" "$@"; }
# Waits up to SECONDS for PID to end; false if it did not.
ends_within() {
  local seconds=$1 pid=$2
  for _ in $(seq $((seconds * 20))); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.05
  done
  return 1
}

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=$(mktemp -d)/wine
work=$(dirname "$WINEPREFIX")
# Ends only this run's Wine: the server of its own prefix.
trap 'wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
nodev wineboot --init >/dev/null 2>&1
# Ports are never touched: the program is only started and closed, and this
# prefix has no COM links, as Wine finds no serial port to link.

# One start: prints microseconds to the window and the peak resident KiB.
start_once() {
  local exe=$1 title=$2 start shown window pid hwm launcher
  start=$(date +%s%N)
  nodev wine "$exe" >/dev/null 2>&1 &
  launcher=$!
  local deadline=$((SECONDS + 60))
  until window=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -n 1) &&
    [ -n "$window" ]; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "win32_startup_bench: no window titled $title within 60 s" >&2
      exit 1
    fi
    sleep 0.005
  done
  shown=$(date +%s%N)
  pid=$(xdotool getwindowpid "$window")  # the program's own process
  sleep 0.5  # what it holds once settled
  hwm=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
  timeout 10 xdotool windowfocus --sync "$window" key alt+F4 >/dev/null 2>&1 || true
  if ! ends_within 30 "$launcher"; then
    echo "win32_startup_bench: $title did not end within 30 s of Alt+F4" >&2
    exit 1
  fi
  wait "$launcher" || true
  echo "$(((shown - start) / 1000)) $hwm"
}

start_once "$floor" Floor >/dev/null  # warms Wine's own start-up
for _ in $(seq "$runs"); do
  start_once "$velkaro" Velkaro >>"$work/velkaro"
  start_once "$floor" Floor >>"$work/floor"
done
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
v_ms=$(($(cut -d' ' -f1 "$work/velkaro" | median) / 1000))
f_ms=$(($(cut -d' ' -f1 "$work/floor" | median) / 1000))
v_kib=$(cut -d' ' -f2 "$work/velkaro" | median)
f_kib=$(cut -d' ' -f2 "$work/floor" | median)
echo "velkaro.exe:          start to window shown ${v_ms} ms, peak memory ${v_kib} KiB (median of $runs)"
echo "minimal Win32 window: start to window shown ${f_ms} ms, peak memory ${f_kib} KiB (median of $runs)"
awk -v a="$v_ms" -v b="$f_ms" -v c="$v_kib" -v d="$f_kib" \
  'BEGIN {printf "ratio:                time %.2f, memory %.2f\n", a / b, c / d}'
echo "velkaro.exe size:     $(stat -c %s "$velkaro") bytes"
