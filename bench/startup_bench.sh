#!/usr/bin/env bash
# Time from start to the window being shown, and peak memory, of the built
# program under Xvfb: the median of several runs.
#   bench/startup_bench.sh [BUILD_DIR] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/ci}
runs=${2:-7}
exe=$build/ui/velkaro
for tool in Xvfb xdotool /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "startup_bench: $tool is needed" >&2; exit 1; }
done
[ -x "$exe" ] || { echo "startup_bench: no program at $exe; build first" >&2; exit 1; }

export DISPLAY=:$((200 + $$ % 50))
work=$(mktemp -d)
Xvfb "$DISPLAY" -screen 0 640x480x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done

for run in $(seq "$runs"); do
  start=$(date +%s%N)
  "$here/tests/without_serial_ports.sh" /usr/bin/time -v -o "$work/time.$run" "$exe" 2>/dev/null &
  pid=$!
  # xdotool's own --sync waits half a second between looks; look more often.
  until xdotool search --onlyvisible --name '^Velkaro$' >/dev/null 2>&1; do sleep 0.01; done
  shown=$(date +%s%N)
  echo $(((shown - start) / 1000)) >>"$work/startup"
  pkill -TERM -f "^$exe\$" || true
  wait $pid || true
  grep 'Maximum resident set size' "$work/time.$run" | awk '{print $NF}' >>"$work/rss"
done
median() { sort -n "$1" | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
echo "startup to window shown: median $(($(median "$work/startup") / 1000)) ms over $runs runs"
echo "peak resident memory:    median $(median "$work/rss") KiB over $runs runs"
