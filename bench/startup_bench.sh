#!/usr/bin/env bash
# Time from start to the window being shown, and peak memory, of the built
# program under Xvfb: the median of several runs.
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

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for run in $(seq "$runs"); do
  start=$(date +%s%N)
  "$here/tests/without_serial_ports.sh" /usr/bin/time -v -o "$work/time.$run" "$exe" 2>/dev/null &
  pid=$!
  # xdotool's own --sync waits half a second between looks; look more often.
  until window=$(xdotool search --onlyvisible --name '^Velkaro$' 2>/dev/null | head -n 1) &&
    [ -n "$window" ]; do sleep 0.01; done
  shown=$(date +%s%N)
  echo $(((shown - start) / 1000)) >>"$work/startup"
  # Ends the program this run started, by the pid its window names.
  kill -TERM "$(xdotool getwindowpid "$window")" || true
  wait $pid || true
  grep 'Maximum resident set size' "$work/time.$run" | awk '{print $NF}' >>"$work/rss"
done
median() { sort -n "$1" | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
echo "startup to window shown: median $(($(median "$work/startup") / 1000)) ms over $runs runs"
echo "peak resident memory:    median $(median "$work/rss") KiB over $runs runs"
