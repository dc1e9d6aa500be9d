#!/usr/bin/env bash
# Runs a command with an X server of its own (Xvfb), open to every local user
# so that the Wine tests' unprivileged user can show windows on it. The
# server's display is in DISPLAY and VELKARO_WINE_DISPLAY.
#   tests/with_xvfb.sh COMMAND [ARG...]
set -euo pipefail
if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARG...]" >&2
  exit 2
fi
for tool in Xvfb xdotool; do
  command -v "$tool" >/dev/null || { echo "with_xvfb: $tool is needed" >&2; exit 1; }
done
log=$(mktemp)
for number in $(seq $((100 + $$ % 100)) 299); do
  [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ] && continue
  Xvfb ":$number" -screen 0 800x600x24 -ac -nolisten tcp >"$log" 2>&1 &
  xvfb=$!
  for _ in $(seq 50); do
    DISPLAY=":$number" xdotool getmouselocation >/dev/null 2>&1 && break 2
    kill -0 "$xvfb" 2>/dev/null || continue 2
    sleep 0.1
  done
  kill "$xvfb" 2>/dev/null || true
done
if ! kill -0 "${xvfb:-0}" 2>/dev/null; then
  cat "$log" >&2
  echo "with_xvfb: could not start Xvfb" >&2
  exit 1
fi
trap 'kill "$xvfb" 2>/dev/null; rm -f "$log"' EXIT
export DISPLAY=:$number VELKARO_WINE_DISPLAY=:$number
"$@"
