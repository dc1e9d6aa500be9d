#!/bin/sh
# Writes CHANGELOG.md as a Debian changelog on standard output.
#   debian-changelog.sh CHANGELOG.md PACKAGE "MAINTAINER <ADDRESS>"
# Each "## VERSION (YYYY-MM-DD)" heading starts an entry; its "- " items,
# with their continuation lines, become the entry's "  * " items.
set -eu
if [ $# -ne 3 ] || [ ! -r "$1" ]; then
  echo "usage: $0 CHANGELOG.md PACKAGE \"MAINTAINER <ADDRESS>\"" >&2
  exit 2
fi
awk -v package="$2" -v maintainer="$3" '
  function flush_item() {
    if (item == "") return
    n = split(item, words, " ")
    line = "  *"
    for (i = 1; i <= n; i++) {
      if (length(line) + 1 + length(words[i]) > 78) { print line; line = "   " }
      line = line " " words[i]
    }
    print line
    item = ""
  }
  function end_entry() {
    flush_item()
    if (version == "") return
    cmd = "LC_ALL=C date -u -R -d " date " 2>/dev/null"
    stamp = ""
    cmd | getline stamp
    close(cmd)
    if (stamp == "") { print "debian-changelog: bad date " date > "/dev/stderr"; failed = 1; exit 1 }
    print ""
    print " -- " maintainer "  " stamp
    version = ""
  }
  /^## / {
    end_entry()
    if (!match($0, /^## [^ ]+ \([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]\)$/)) {
      print "debian-changelog: not \"## VERSION (YYYY-MM-DD)\": " $0 > "/dev/stderr"
      failed = 1; exit 1
    }
    version = $2
    date = substr($3, 2, 10)
    if (entries++) print ""
    print package " (" version ") unstable; urgency=medium"
    print ""
    next
  }
  version == "" { next }
  /^- / { flush_item(); item = substr($0, 3); next }
  /^  +[^ ]/ && item != "" { sub(/^ +/, ""); item = item " " $0; next }
  /^$/ { flush_item(); next }
  { print "debian-changelog: unexpected line: " $0 > "/dev/stderr"; failed = 1; exit 1 }
  END {
    if (failed) exit 1
    end_entry()
    if (!entries) { print "debian-changelog: no \"## VERSION (DATE)\" entry" > "/dev/stderr"; exit 1 }
  }
' "$1"
