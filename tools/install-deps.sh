#!/usr/bin/env bash
# Installs the Debian packages Velkaro needs.
#   tools/install-deps.sh run    what building and starting the program needs
#   tools/install-deps.sh test   that, plus what the tests and benchmarks need
set -euo pipefail

want=${1:-}
build_pkgs=(cmake ninja-build g++ pkg-config qt6-base-dev nlohmann-json3-dev libudev-dev
            fonts-liberation2)
# file, binutils and dpkg-dev: CPack's Debian generator; lintian, appstream and
# desktop-file-utils check the package; debootstrap makes the clean system it
# is installed on; sway and qt6-wayland show the window on Wayland alone;
# ansible-core and jq serve the JSON to the tools that look after machines;
# bash-completion's own functions try the completion; clang and its runtime
# libraries build the fuzz targets with libFuzzer.
test_pkgs=(git googletest libgtest-dev libgmock-dev libbenchmark-dev clang-format xvfb xauth xdotool
           imagemagick util-linux mount procps desktop-file-utils dpkg-dev file binutils lintian
           appstream debootstrap time unzip sway qt6-wayland ansible-core jq bash-completion
           clang libclang-rt-dev
           g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64)

case "$want" in
  run) pkgs=("${build_pkgs[@]}") ;;
  test) pkgs=("${build_pkgs[@]}" "${test_pkgs[@]}") ;;
  *) echo "usage: $0 run|test" >&2; exit 2 ;;
esac

missing=()
for pkg in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null; then
  sudo=(sudo)
else
  echo "install-deps: need root (or sudo) to install: ${missing[*]}" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
"${sudo[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
