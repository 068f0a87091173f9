#!/usr/bin/env bash
# Usage: release/rebuild.sh [DIR]
# Rebuilds a release and compares it with DIR byte for byte, as
# release/rebuild.py says, once what it and the build need is installed.
# Exits 0 where it is the same, 1 where it differs, 2 where it cannot judge.
set -eu
(release_build=yes extra_packages=$(grep -v '^#' "$(dirname "$0")/packages.txt")
  # shellcheck source=scripts/setup.sh
  source "$(dirname "$0")/../scripts/setup.sh") || exit 2
exec "$(dirname "$0")/rebuild.py" "$@"
