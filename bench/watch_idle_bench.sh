#!/usr/bin/env bash
# How quiet `velkaro --watch` is while nothing comes or goes: it is started
# where /dev has no serial port (tests/without_serial_ports.sh, so as root),
# and after its first lines its wake-ups are counted for 10 idle seconds by
# the kernel's own count of the times it blocked (a process waiting in one
# poll with no timer is woken by nothing, and so makes no system call); then
# the system calls of 10 seconds more, with strace where it is installed.
#   bench/watch_idle_bench.sh BUILD_DIR [SECONDS]
set -euo pipefail
say() { echo "watch_idle_bench: $*" >&2; }
[ $# -ge 1 ] || { say "usage: $0 BUILD_DIR [SECONDS]"; exit 2; }
exe=$(realpath "$1/ui/velkaro")
seconds=${2:-10}
here=$(cd "$(dirname "$0")/.." && pwd)
[ -x "$exe" ] || { say "no program at $exe: build it first"; exit 1; }
[ "$(id -u)" -eq 0 ] || { say "needs root, for the namespace the program runs in"; exit 1; }
out=$(mktemp)
bash "$here/tests/without_serial_ports.sh" "$exe" --watch >"$out" 2>&1 &
run=$!
trap 'kill "$run" 2>/dev/null || true; rm -f "$out"' EXIT
sleep 2
kill -0 "$run" 2>/dev/null || { say "the watch ended:"; cat "$out" >&2; exit 1; }
switches() { awk '/^voluntary_ctxt_switches/ {print $2}' "/proc/$run/status"; }
before=$(switches)
sleep "$seconds"
after=$(switches)
echo "velkaro --watch: $((after - before)) wake-ups in $seconds idle seconds (goal 0);" \
  "waiting in system call $(cut -d' ' -f1 "/proc/$run/syscall") (7 is poll);" \
  "resident $(awk '/^VmRSS/ {print $2, $3}' "/proc/$run/status")"
if command -v strace >/dev/null; then
  calls=$(timeout -s INT "$seconds" strace -c -p "$run" 2>&1 | awk '$NF == "total" {print $(NF-2)}' || true)
  echo "velkaro --watch: ${calls:-0} system calls under strace in $seconds idle seconds"
fi
