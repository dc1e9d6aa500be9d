#!/usr/bin/env bash
# Prints the id of the first visible window with exactly the given title once
# one is shown, looking every tenth of a second for up to SECONDS. Gives up
# early if the process PID (when given) has ended. xdotool's own --sync quits
# on the X error it gets when another window goes away while it looks, so
# each look is a search of its own.
#   tests/wait_for_window.sh TITLE SECONDS [PID]
set -uo pipefail
if [ $# -lt 2 ]; then
  echo "usage: $0 TITLE SECONDS [PID]" >&2
  exit 2
fi
title=$1 seconds=$2 pid=${3:-}
for _ in $(seq $((seconds * 10))); do
  window=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -n 1)
  if [ -n "$window" ]; then
    echo "$window"
    exit 0
  fi
  if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then break; fi
  sleep 0.1
done
echo "wait_for_window: no window titled $title appeared" >&2
exit 1
