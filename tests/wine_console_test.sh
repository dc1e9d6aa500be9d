#!/usr/bin/env bash
# Types `velkaro` into Wine's cmd, in the folder of velkaro.com and
# velkaro.exe, as a user would in the unpacked zip, through the COM-link
# harness: --list prints its six lines and sets the status; --json is one
# JSON document that agrees with them; --help and --version answer; a bad
# option is refused with status 2; a list redirected to a file is whole; and
# with no option the window, velkaro.exe, starts and the prompt comes back;
# and --all tells the ports beyond COM6 that REGISTER_PORTS registers.
#   tests/with_xvfb.sh tests/wine_console_test.sh VELKARO_COM VELKARO_EXE HARNESS REGISTER_PORTS
set -euo pipefail
say() { echo "wine_console_test: $*" >&2; }
if [ $# -ne 4 ] || [ -z "${VELKARO_WINE_DISPLAY:-}" ]; then
  say "usage: tests/with_xvfb.sh $0 VELKARO_COM VELKARO_EXE HARNESS REGISTER_PORTS"
  exit 2
fi
com=$(realpath "$1") exe=$(realpath "$2") harness=$3 register=$(realpath "$4")
here=$(cd "$(dirname "$0")" && pwd)
for tool in jq xdotool; do
  command -v "$tool" >/dev/null || { say "$tool is needed"; exit 1; }
done
work=$(mktemp -d)
chmod 755 "$work"  # the harness's test user reaches the prefix in it
run=
# Only what this test started is ended: the harness ends the Wine of its
# own prefix on SIGTERM.
cleanup() {
  if [ -n "$run" ] && kill -0 "$run" 2>/dev/null; then
    kill "$run" 2>/dev/null || true
    wait "$run" 2>/dev/null || true
  fi
  bash "$here/without_serial_ports.sh" "$harness" --prefix "$work/prefix" -- cmd /c exit \
    >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
failed=0
# Runs a line in cmd; its standard output and error, without the carriage
# returns Windows ends lines with, go to $work/out and $work/err, its status
# to $status.
typed() {
  status=0
  bash "$here/without_serial_ports.sh" "$harness" --prefix "$work/prefix" --also "$com" \
    --also "$exe" --also "$register" -- cmd /c "$@" >"$work/out.raw" 2>"$work/err.raw" ||
    status=$?
  tr -d '\r' <"$work/out.raw" >"$work/out"
  tr -d '\r' <"$work/err.raw" >"$work/err"
}
expect() {
  local what=$1 wanted_status=$2
  if [ "$status" -ne "$wanted_status" ]; then
    say "$what: status $status, not $wanted_status"
    cat "$work/out" "$work/err" >&2
    failed=1
  fi
}

# COM1 a terminal, COM2 /dev/null (no line settings), COM3 a link to nothing,
# COM4 held exclusively, COM5 not ours to open, COM6 not there.
list='COM1 (\\.\COM1): present, free
COM2 (\\.\COM2): present, but it refused line settings
COM3 (\\.\COM3): absent: ERROR_FILE_NOT_FOUND
COM4 (\\.\COM4): present, in use by another program or access denied
COM5 (\\.\COM5): present, in use by another program or access denied
COM6 (\\.\COM6): absent: ERROR_FILE_NOT_FOUND'
typed velkaro --list
expect "velkaro --list" 0
[ "$(cat "$work/out")" = "$list" ] || { say "velkaro --list printed:"; cat "$work/out" >&2; failed=1; }

typed velkaro --list --json
expect "velkaro --list --json" 0
from_json=$(jq -r '.ports[] | "\(.port) (\(.device)): \(.finding)"' "$work/out") || from_json=
[ "$from_json" = "$list" ] || { say "the JSON does not agree with the list:"; cat "$work/out" >&2; failed=1; }
[ "$(jq -c '[.ports[] | .present]' "$work/out" 2>/dev/null)" = "[true,true,false,true,true,false]" ] ||
  { say "the JSON's presence is wrong"; failed=1; }
[ "$(jq -r '.ports[3].holder.kind' "$work/out" 2>/dev/null)" = exclusive ] ||
  { say "COM4's holder is not told"; failed=1; }

typed "velkaro --list > list.txt && type list.txt"
expect "velkaro --list > list.txt" 0
[ "$(cat "$work/out")" = "$list" ] || { say "the list written to a file is:"; cat "$work/out" >&2; failed=1; }

# Every other COM port Windows lists, by number, each once, never opened: a
# modem's with its whole long name, and one the serial device map alone
# names; COM1 to COM6 are the six lines' own.
typed "register_ports && velkaro --list --all"
expect "register_ports && velkaro --list --all" 0
modem="Data Fax Modem $(printf 'M%.0s' $(seq 260))"
others='COM7 (\\.\COM7): present, not opened; Standard Serial over Bluetooth link, BTHENUM\{00001101-0000-1000-8000-00805F9B34FB}
COM8 (\\.\COM8): present, not opened; '"$modem"', PCI\VEN_14F1&DEV_2F20
COM9 (\\.\COM9): present, not opened; \Device\VCP0
COM12 (\\.\COM12): present, not opened; USB Serial Port, USB\VID_0403&PID_6001&REV_0600, at Port_#0001.Hub_#0004'
[ "$(cat "$work/out")" = "$list
$others" ] || { say "velkaro --list --all printed:"; cat "$work/out" "$work/err" >&2; failed=1; }
typed "register_ports map && velkaro --list --all --json"
expect "register_ports map && velkaro --list --all --json" 0
[ "$(jq -c '[.ports[6:][] | [.port, .device, .present, .hardware.vendor_id]]' "$work/out" 2>/dev/null)" = \
  '[[null,"\\\\.\\COM7",true,null],[null,"\\\\.\\COM8",true,null],[null,"\\\\.\\COM9",true,null],[null,"\\\\.\\COM12",true,"0403"]]' ] ||
  { say "the JSON of --all is:"; cat "$work/out" >&2; failed=1; }

# --watch tells the ports Windows lists, line by line as they are told,
# opens none, and runs until it is ended.
bash "$here/without_serial_ports.sh" "$harness" --prefix "$work/prefix" --also "$com" \
  --also "$exe" --also "$register" -- cmd /c "register_ports map && velkaro --watch" \
  >"$work/watch.raw" 2>&1 &
run=$!
for _ in $(seq 600); do
  grep -q 'present COM12 ' "$work/watch.raw" 2>/dev/null && break
  sleep 0.1
done
kill -0 "$run" 2>/dev/null || { say "velkaro --watch did not keep watching"; failed=1; }
kill "$run" 2>/dev/null || true
wait "$run" 2>/dev/null || true
run=
watched=$(tr -d '\r' <"$work/watch.raw" | sed -E 's/^[0-9T:.+-]+ //')
[ "$watched" = "$(printf '%s\n' "$others" | sed 's/^\(COM[0-9]*\) (\([^)]*\)): /present \1 (\2): /')" ] ||
  { say "velkaro --watch printed:"; cat "$work/watch.raw" >&2; failed=1; }

typed velkaro --help
expect "velkaro --help" 0
grep -q -- '--list' "$work/out" || { say "--help does not tell of --list"; failed=1; }
typed velkaro --version
expect "velkaro --version" 0
grep -qx 'velkaro [0-9.]*' "$work/out" || { say "--version said: $(cat "$work/out")"; failed=1; }
typed velkaro --bogus
expect "velkaro --bogus" 2
grep -q '^velkaro: unknown option --bogus$' "$work/err" || { say "--bogus said: $(cat "$work/err")"; failed=1; }
[ ! -s "$work/out" ] || { say "--bogus wrote to standard output"; failed=1; }

# With no option the window starts, and cmd has its prompt back meanwhile:
# `echo` after it runs while the window is still shown.
bash "$here/without_serial_ports.sh" "$harness" --prefix "$work/prefix" --also "$com" \
  --also "$exe" -- cmd /c "velkaro && echo back" >"$work/window.log" 2>&1 &
run=$!
window=$(bash "$here/wait_for_window.sh" Velkaro 120 "$run") || true
if [ -z "$window" ]; then
  say "velkaro with no option showed no window"
  cat "$work/window.log" >&2
  exit 1
fi
grep -q back "$work/window.log" || { say "the prompt did not come back while the window was shown"; failed=1; }
xdotool windowfocus --sync "$window" key alt+F4
wait "$run" || { say "the window's run failed"; cat "$work/window.log" >&2; failed=1; }
run=
[ "$failed" -eq 0 ] || exit 1
echo "wine_console_test: --list, --json, --all, --watch, a file, --help, --version, a bad option and the window, as typed in cmd"
