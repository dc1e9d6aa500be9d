#!/usr/bin/env bash
# Time from start to the window being shown, and peak memory, of the built
# program under Xvfb, beside a Qt window with the same widgets and fonts and
# no logic (bench/qt_minimal_window.cpp), the floor: the median of several
# runs, the two taking turns.
#   bench/startup_bench.sh [BUILD_DIR] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# An X server of its own, on a display no other server holds.
[ -n "${VELKARO_WINE_DISPLAY:-}" ] || exec bash "$here/tests/with_xvfb.sh" bash "$0" "$@"
build=${1:-$here/build/ci}
runs=${2:-7}
exe=$build/ui/velkaro
for tool in xdotool /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "startup_bench: $tool is needed" >&2; exit 1; }
done
[ -x "$exe" ] || { echo "startup_bench: no program at $exe; build first" >&2; exit 1; }

floor=$build/bench/qt_minimal_window
[ -x "$floor" ] || { echo "startup_bench: no floor at $floor; build it first" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Prints how long PROGRAM took from its start to a shown window titled
# Velkaro, and keeps its peak memory in $work/rss.NAME.
shown_after() {
  local name=$1 program=$2 start pid window shown
  start=$(date +%s%N)
  "$here/tests/without_serial_ports.sh" /usr/bin/time -v -o "$work/time" "$program" 2>/dev/null &
  pid=$!
  # xdotool's own --sync waits half a second between looks; look more often.
  until window=$(xdotool search --onlyvisible --name '^Velkaro$' 2>/dev/null | head -n 1) &&
    [ -n "$window" ]; do sleep 0.01; done
  shown=$(date +%s%N)
  echo $(((shown - start) / 1000)) >>"$work/startup.$name"
  # Ends the program this run started, by the pid its window names.
  kill -TERM "$(xdotool getwindowpid "$window")" || true
  wait $pid || true
  grep 'Maximum resident set size' "$work/time" | awk '{print $NF}' >>"$work/rss.$name"
}
for run in $(seq "$runs"); do
  shown_after velkaro "$exe"
  shown_after floor "$floor"
done
median() { sort -n "$1" | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
for name in velkaro floor; do
  echo "$name: start-up to window shown: median $(($(median "$work/startup.$name") / 1000)) ms," \
    "peak resident memory: median $(median "$work/rss.$name") KiB, over $runs runs"
done
echo "velkaro / floor: $(awk -v a="$(median "$work/startup.velkaro")" \
  -v b="$(median "$work/startup.floor")" 'BEGIN {printf "%.2f", a / b}') x"
