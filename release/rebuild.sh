#!/usr/bin/env bash
# Usage: release/rebuild.sh [DIR]
# Rebuilds a release and compares it with DIR byte for byte, once what it and the build need is
# installed: release/rebuild.py says how. Exits 0 the same, 1 it differs, 2 it cannot judge.
# shellcheck source=scripts/setup.sh
set -eu
setup=$(dirname "$0")/../scripts/setup.sh
(release_build=yes && source "$setup") || exit 2
# diffoscope, which says where files differ, is installed where it can be: rebuild.py says if not.
if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
  (release_build=yes extra_packages="diffoscope-minimal binutils unzip" && source "$setup") || true
fi
exec "$(dirname "$0")/rebuild.py" "$@"
