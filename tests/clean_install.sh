#!/usr/bin/env bash
# Installs the Debian package on a minimal Debian of this machine's own
# release (the one it was built for), made for this run, starts
# the program there on Xvfb, and checks that its window appears with every
# label's text whole inside its box. Then checks that the same check fails
# when the package's Arial-metric font is hidden, so it can tell, and that
# purging the package leaves none of its files. The build machine's own
# packages are never touched.
#   tests/clean_install.sh PACKAGE.deb SHOT_CHECK
# Needs root, debootstrap, Xvfb, xdotool and ImageMagick's import. The Debian
# mirror is VELKARO_DEBIAN_MIRROR, by default the one this machine uses.
set -euo pipefail
say() { echo "clean_install: $*" >&2; }
if [ $# -ne 2 ] || [ ! -f "$1" ] || [ ! -x "$2" ]; then
  say "usage: $0 PACKAGE.deb SHOT_CHECK"
  exit 2
fi
# An X server of its own, on a display no other server holds.
[ -n "${VELKARO_WINE_DISPLAY:-}" ] || exec bash "$(dirname "$0")/with_xvfb.sh" bash "$0" "$@"
deb=$(realpath "$1")
check=$(realpath "$2")
for tool in debootstrap xdotool import unshare chroot; do
  command -v "$tool" >/dev/null || { say "$tool is needed; tools/install-deps.sh test installs it"; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { say "needs root for debootstrap and chroot"; exit 1; }
# The package needs the libraries of the release it was built on.
release=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
if [ -z "$release" ]; then
  say "cannot tell this machine's Debian release (no VERSION_CODENAME in /etc/os-release)"
  exit 1
fi
mirror=${VELKARO_DEBIAN_MIRROR:-$(apt-get indextargets --format '$(REPO_URI)' "Codename: $release" \
  'Component: main' 2>/dev/null | grep -v security | head -n 1 || true)}
mirror=${mirror:-http://deb.debian.org/debian/}

work=$(mktemp -d /var/tmp/velkaro-clean.XXXXXX)
root=$work/root
cleanup() {
  # Everything mounted in the root lives in the private namespace below and
  # is gone with it; make sure of that before removing the root.
  if grep -q " $root/" /proc/self/mounts; then
    say "something is still mounted under $root; left in place"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT

echo "clean_install: making a minimal Debian $release root from $mirror"
debootstrap --variant=minbase "$release" "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
  { tail -n 20 "$work/debootstrap.log" >&2; say "debootstrap failed"; exit 1; }
cp "$deb" "$root/tmp/"
# A font set-up that hides Liberation, as on a system without fonts-liberation2.
cat >"$root/tmp/without-liberation.conf" <<'CONF'
<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "urn:fontconfig:fonts.dtd">
<fontconfig>
  <include>/etc/fonts/fonts.conf</include>
  <selectfont><rejectfont><glob>/usr/share/fonts/truetype/liberation*</glob></rejectfont></selectfont>
</fontconfig>
CONF

# Starts the installed program in the root with the given environment, takes a
# screenshot of its window, and ends it.
shoot() {
  local shot=$1
  shift
  unshare --mount --propagation private -- bash -euo pipefail -c '
    root=$1; shift
    mount -t proc proc "$root/proc"
    mkdir -p "$root/tmp/.X11-unix"
    mount --bind /tmp/.X11-unix "$root/tmp/.X11-unix"
    exec chroot "$root" env -i PATH=/usr/bin:/bin HOME=/root DISPLAY="$DISPLAY" "$@" velkaro' \
    shoot "$root" "$@" >"$work/velkaro.log" 2>&1 &
  local pid=$! window
  window=$(bash "$(dirname "$0")/wait_for_window.sh" Velkaro 20 "$pid") || true
  if [ -z "$window" ]; then
    kill "$pid" 2>/dev/null || true
    cat "$work/velkaro.log" >&2
    say "no window titled Velkaro appeared"
    return 1
  fi
  sleep 0.5  # let it paint
  import -window "$window" "$shot"
  kill "$pid" 2>/dev/null || true
  wait "$pid" || true
}

echo "clean_install: installing $(basename "$deb") with apt-get"
unshare --mount --propagation private -- bash -euo pipefail -c '
  mount -t proc proc "$1/proc"
  mount --bind /dev/pts "$1/dev/pts"
  chroot "$1" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "/tmp/$2"' install "$root" "$(basename "$deb")" >"$work/apt.log" 2>&1 ||
  { tail -n 30 "$work/apt.log" >&2; say "apt-get install failed"; exit 1; }

echo "clean_install: starting the installed program"
shoot "$work/installed.png"
"$check" "$work/installed.png" --labels || { say "the labels do not fit as installed"; exit 1; }
echo "clean_install: window shown and every label whole inside its box"

shoot "$work/without-liberation.png" FONTCONFIG_FILE=/tmp/without-liberation.conf
if "$check" "$work/without-liberation.png" --labels 2>/dev/null; then
  say "with Liberation hidden the labels still passed: the check cannot see clipping"
  exit 1
fi
echo "clean_install: with Liberation hidden the check fails, as it must"

# Purged, the package leaves none of its files behind in the root.
cat >"$root/tmp/purge-check.sh" <<'CHECK'
set -eu
dpkg-query -L velkaro >/tmp/velkaro.files
dpkg --purge velkaro
left=0
while read -r path; do
  if [ -e "$path" ] && [ ! -d "$path" ]; then echo "left behind: $path" >&2; left=1; fi
done </tmp/velkaro.files
[ ! -e /usr/share/doc/velkaro ] || { echo "left behind: /usr/share/doc/velkaro" >&2; left=1; }
if dpkg-query -W velkaro >/dev/null 2>&1; then echo "dpkg still knows velkaro" >&2; left=1; fi
exit $left
CHECK
unshare --mount --propagation private -- bash -euo pipefail -c '
  mount -t proc proc "$1/proc"
  chroot "$1" sh /tmp/purge-check.sh' purge "$root" >"$work/purge.log" 2>&1 ||
  { cat "$work/purge.log" >&2; say "dpkg --purge velkaro left something behind"; exit 1; }
echo "clean_install: purged, nothing of the package left"
