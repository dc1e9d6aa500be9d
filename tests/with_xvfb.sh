#!/usr/bin/env bash
# Runs a command with an X server of its own (Xvfb), open to every local user
# so that the Wine tests' unprivileged user can show windows on it. Xvfb picks
# a display number no other server holds. The server's display is in DISPLAY
# and VELKARO_WINE_DISPLAY.
#   tests/with_xvfb.sh COMMAND [ARG...]
set -euo pipefail
if [ $# -eq 0 ]; then
  echo "usage: $0 COMMAND [ARG...]" >&2
  exit 2
fi
for tool in Xvfb xdotool; do
  command -v "$tool" >/dev/null || { echo "with_xvfb: $tool is needed" >&2; exit 1; }
done
work=$(mktemp -d)
xvfb=
trap '[ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null; rm -rf "$work"' EXIT
# Xvfb writes the display number it took once it takes connections. With
# -noreset it does not start afresh, turning connections away, each time its
# last client leaves.
Xvfb -displayfd 3 -screen 0 800x600x24 -ac -nolisten tcp -noreset 3>"$work/display" >"$work/log" 2>&1 &
xvfb=$!
for _ in $(seq 600); do
  grep -q . "$work/display" 2>/dev/null && break
  kill -0 "$xvfb" 2>/dev/null || break
  sleep 0.05
done
number=$(head -n 1 "$work/display" 2>/dev/null || true)
if [ -z "$number" ]; then
  cat "$work/log" >&2
  echo "with_xvfb: could not start Xvfb" >&2
  exit 1
fi
export DISPLAY=:$number VELKARO_WINE_DISPLAY=:$number
unset WAYLAND_DISPLAY  # a desktop session's compositor is not this server
# The command ends with this script, however it is ended.
"$@" &
command=$!
trap 'kill "$command" 2>/dev/null' TERM INT
wait "$command"
