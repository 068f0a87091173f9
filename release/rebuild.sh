#!/usr/bin/env bash
# Usage: release/rebuild.sh [DIR]
# Rebuilds a release and compares it with DIR byte for byte, as
# release/rebuild.py says, once what it and the build need is installed.
# Exits 0 where it is the same, 1 where it differs, 2 where it cannot judge.
set -eu
setup=$(dirname "$0")/../scripts/setup.sh
# shellcheck source=scripts/setup.sh
(release_build=yes && source "$setup") || exit 2
# diffoscope, which says where a file differs, is installed before the verdict
# where apt-get can: the recorded machine holds its packages alone, and a user
# not root has them name it. rebuild.py says where it is not installed.
if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
  # shellcheck source=scripts/setup.sh
  (release_build=yes extra_packages="diffoscope-minimal binutils unzip" && source "$setup") || true
fi
exec "$(dirname "$0")/rebuild.py" "$@"
