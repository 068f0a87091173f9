#!/usr/bin/env bash
# Usage: release/rebuild.sh [DIR]
# Rebuilds a release and compares it with DIR byte for byte, as
# release/rebuild.py says, once what it and the build need is installed.
set -eu
(release_build=yes extra_packages="g++-mingw-w64-i686-posix python3-debian python3-pefile
    python3-asn1crypto python3-cryptography"
  # shellcheck source=scripts/setup.sh
  source "$(dirname "$0")/../scripts/setup.sh")
exec "$(dirname "$0")/rebuild.py" "$@"
