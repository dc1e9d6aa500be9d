#!/usr/bin/env bash
# Runs a fuzz target over its seed corpus and on, with what it finds kept in
# a folder of this run's own, so that the committed corpus stays as it is;
# an input that crashes is kept beside it, and its path told.
#   tests/fuzz/run_target.sh TARGET CORPUS [LIBFUZZER-OPTION]...
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 TARGET CORPUS [OPTION]..." >&2; exit 2; }
target=$1 corpus=$2
shift 2
[ -d "$corpus" ] || { echo "run_target: no corpus at $corpus" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/found"
status=0
"$target" "$work/found" "$corpus" -timeout=1 -rss_limit_mb=2048 -artifact_prefix="$work/" \
  -print_final_stats=1 "$@" || status=$?
if [ "$status" -ne 0 ]; then
  for crash in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
    [ -e "$crash" ] || continue
    kept=${TMPDIR:-/tmp}/velkaro-$(basename "$target")-$(basename "$crash")
    cp "$crash" "$kept"
    echo "run_target: $(basename "$target") failed on the input kept at $kept" >&2
  done
fi
exit "$status"
