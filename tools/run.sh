#!/usr/bin/env bash
# Installs what is needed, builds Velkaro, and starts its window.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/install-deps.sh run
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKARO_BUILD_TESTS=OFF \
  -DVELKARO_BUILD_BENCH=OFF
cmake --build build/release -j "$(nproc)"
exec build/release/ui/velkaro
