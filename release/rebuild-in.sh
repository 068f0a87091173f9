#!/usr/bin/env bash
# Usage: release/rebuild-in.sh MACHINE DIR
# Rebuilds the release in DIR inside MACHINE, a folder that holds the machine
# its .buildinfo records (release/machine.py's, or debootsnap's unpacked), as
# root and with no network: the machine's packages alone build it. A clone of
# this repository goes to MACHINE/root/source and a copy of DIR to
# MACHINE/root/release; release/rebuild.sh runs there, and its status is this.
set -eu
# Its /root/source and /root/release are made anew: never this machine's own.
if [ $# -ne 2 ] || [ ! -d "$1/root" ] || [ "$(realpath "$1")" = / ] || [ ! -d "$2" ]; then
  echo "Usage: release/rebuild-in.sh MACHINE DIR (MACHINE a machine's folder, not /;" \
    "DIR a release's)" >&2
  exit 2
fi
source=$(cd "$(dirname "$0")/.." && pwd)
rm -rf "$1/root/source" "$1/root/release"
git clone --quiet "$source" "$1/root/source"
cp -r "$2" "$1/root/release"
# Nothing of this machine's environment goes in: the machine's own PATH, and
# a locale that every Debian machine has.
exec unshare --net chroot "$1" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
  bash -c 'cd /root/source && release/rebuild.sh /root/release'
