#!/usr/bin/env bash
# Builds the fuzz targets with clang (build/fuzz) and runs each for the time
# given, as many at once as there are cores, each from its seed corpus in
# tests/fuzz/corpus; then prints, for each, its executions, its coverage
# (edges) and the crashes, leaks and hangs over 1 s it found. An input that
# failed a target is kept in build/fuzz/found/TARGET, and the status is 1.
#   tools/fuzz.sh [SECONDS-PER-TARGET]    (600 unless told)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
[[ $seconds =~ ^[0-9]+$ ]] || { echo "usage: $0 [SECONDS-PER-TARGET]" >&2; exit 2; }
for tool in clang clang++; do
  command -v "$tool" >/dev/null || { echo "fuzz: $tool is needed (tools/install-deps.sh test)" >&2; exit 1; }
done
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELKARO_FUZZ=ON -DVELKARO_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc)" --target fuzz_targets
runs=build/fuzz/runs
rm -rf "$runs"
mkdir -p "$runs"
targets=$(cd build/fuzz/tests/fuzz && ls fuzz_* | grep -v '\.' | sed 's/^fuzz_//')
run_one() {
  local name=$1 work="$runs/$1"
  mkdir -p "$work/corpus" "build/fuzz/found/$name"
  "build/fuzz/tests/fuzz/fuzz_$name" "$work/corpus" "tests/fuzz/corpus/$name" \
    -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/found/$name/" >"$work/log" 2>&1
  echo $? >"$work/status"
}
export -f run_one
export runs seconds
printf '%s\n' $targets | xargs -P "$(nproc)" -I{} bash -c 'run_one {}'
failed=0
printf '%-12s %14s %8s %8s %s\n' target executions edges found status
for name in $targets; do
  log="$runs/$name/log"
  executions=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
  edges=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | awk '{print $2}')
  found=$(find "build/fuzz/found/$name" -type f | wc -l)
  status=$(cat "$runs/$name/status")
  [ "$status" -eq 0 ] && [ "$found" -eq 0 ] || failed=1
  printf '%-12s %14s %8s %8s %s\n' "$name" "${executions:-?}" "${edges:-?}" "$found" \
    "$([ "$status" -eq 0 ] && echo clean || echo "failed ($status): see $log")"
done
exit "$failed"
