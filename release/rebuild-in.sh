#!/usr/bin/env bash
# Usage: release/rebuild-in.sh MACHINE DIR
# Rebuilds the release in DIR in MACHINE, the machine its .buildinfo records (machine.py's or
# debootsnap's), as root and offline: its packages alone build it. A clone's rebuild.sh runs in
# MACHINE/root/source on DIR, mounted where it stands here so that what it says names DIR.
set -eu
refuse() { echo "$*" >&2; exit 2; }
[ $# -eq 2 ] || refuse "Usage: release/rebuild-in.sh MACHINE DIR (MACHINE a machine's folder," \
  "DIR a release's)"
[ -d "$1" ] || refuse "There is no folder $1: make the machine in it (RELEASING.md)."
[ -n "$(ls -A "$1")" ] || refuse "$1 is empty: make the machine in it (RELEASING.md), or" \
  "unpack debootsnap's there."
[ -d "$1/root" ] && [ -x "$1/usr/bin/env" ] && [ "$(realpath "$1")" != / ] ||  # root/source: anew
  refuse "$1 holds no machine: it has no root/ folder or no usr/bin/env, or is this machine's /."
[ -d "$2" ] || refuse "There is no folder $2."
source=$(cd "$(dirname "$0")/.." && pwd) machine=$(realpath "$1") folder=$(realpath "$2")
rm -rf "$machine/root/source"
git clone --quiet "$source" "$machine/root/source"
mkdir -p "$machine$folder"
# Nothing of this machine's environment goes in: the machine's PATH, a locale every Debian has.
exec unshare --net --mount bash -c 'mount --bind "$2" "$1$2" && exec chroot "$1" env -i \
  PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 /root/source/release/rebuild.sh "$2"' \
  rebuild-in "$machine" "$folder"
