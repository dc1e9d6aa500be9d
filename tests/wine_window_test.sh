#!/usr/bin/env bash
# Starts the built velkaro.exe under Wine, through the COM-link harness, on the
# X server with_xvfb.sh gave it; presses TEST PORTS by a click and, in a second
# run, by the keyboard; and checks each lamp in a screenshot after the scan.
# The harness then checks from the Linux side that no byte was written and
# every setting was put back. DPI, if given, is the session's system DPI.
#   tests/with_xvfb.sh tests/wine_window_test.sh VELKARO_EXE HARNESS SHOT_CHECK [DPI]
set -euo pipefail
say() { echo "wine_window_test: $*" >&2; }
if [ $# -lt 3 ] || [ $# -gt 4 ] || [ -z "${VELKARO_WINE_DISPLAY:-}" ]; then
  say "usage: tests/with_xvfb.sh $0 VELKARO_EXE HARNESS SHOT_CHECK [DPI]"
  exit 2
fi
exe=$1 harness=$2 check=$3 dpi=${4:-96}
dpi_options=()
[ $# -eq 4 ] && dpi_options=(--log-pixels "$dpi")
# Twips to pixels at the DPI, rounded as the window rounds them.
px() { echo $((($1 * dpi + 720) / 1440)); }
width=$(px 3885) height=$(px 2535)
here=$(cd "$(dirname "$0")" && pwd)
for tool in xdotool import; do
  command -v "$tool" >/dev/null || { say "$tool is needed"; exit 1; }
done
work=$(mktemp -d)
run=
# Only what this test started is ended: the harness (whose pid the run keeps
# through every exec) ends the Wine of its own prefix on SIGTERM.
cleanup() {
  if [ -n "$run" ] && kill -0 "$run" 2>/dev/null; then
    kill "$run" 2>/dev/null || true
    wait "$run" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
# COM1 a terminal, COM2 /dev/null (no line settings), COM3 a link to nothing,
# COM4 held exclusively, COM5 not ours to open, COM6 not there.
expected=ggrggr
# True once a screenshot of the window shows the lamps PATTERN within SECONDS;
# the last screenshot is kept in /tmp for a failure.
shows() {
  local pattern=$1 seconds=$2 deadline=$((SECONDS + $2))
  while :; do
    import -window "$window" "$work/$press.png" 2>/dev/null &&
      "$check" "$work/$press.png" --lamps "$pattern" --dpi "$dpi" >/dev/null 2>&1 && return 0
    if [ "$SECONDS" -ge "$deadline" ]; then
      cp "$work/$press.png" "/tmp/wine-window-$press.png" 2>/dev/null || true
      "$check" "$work/$press.png" --lamps "$pattern" --dpi "$dpi" || true
      return 1
    fi
    sleep 0.2
  done
}

for press in click keyboard; do
  echo "wine_window_test: pressing TEST PORTS by $press"
  bash "$here/without_serial_ports.sh" "$harness" "${dpi_options[@]}" -- "$exe" \
    >"$work/$press.log" 2>&1 &
  run=$!
  window=$(bash "$here/wait_for_window.sh" Velkaro 120 "$run") || true
  if [ -z "$window" ]; then
    kill "$run" 2>/dev/null || true
    wait "$run" 2>/dev/null || true
    cat "$work/$press.log" >&2
    say "no window titled Velkaro appeared"
    exit 1
  fi
  geometry=$(xdotool getwindowgeometry --shell "$window" | grep -E '^(WIDTH|HEIGHT)=' | tr '\n' ' ')
  if [ "$geometry" != "WIDTH=$width HEIGHT=$height " ]; then
    say "the client area is $geometry, not $width by $height"
    exit 1
  fi
  # Pressed once Wine has the window painted, every lamp unlit.
  if ! shows "......" 15; then
    kill "$run" 2>/dev/null || true
    say "the window never showed its unlit lamps; screenshot in /tmp/wine-window-$press.png"
    exit 1
  fi
  if [ "$press" = click ]; then
    xdotool mousemove --window "$window" "$(px 975)" "$(px 525)" click 1  # the button's middle
  else
    xdotool windowfocus --sync "$window" key Return
  fi
  # Seven 300 ms ticks and six probes; looked at until the scan shows.
  shows "$expected" 15 || {
    kill "$run" 2>/dev/null || true
    say "the lamps after a scan pressed by $press are wrong; screenshot in /tmp/wine-window-$press.png"
    exit 1
  }
  # Closed as a user would, so that the program ends by itself.
  xdotool windowfocus --sync "$window" key alt+F4
  if ! wait "$run"; then
    cat "$work/$press.log" >&2
    say "the program or the harness's checks of the ports failed"
    exit 1
  fi
done
echo "wine_window_test: both presses scanned, every lamp as expected, every port left as found"
