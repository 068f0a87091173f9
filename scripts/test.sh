#!/usr/bin/env bash
# Builds the program, the x86 lister and the tests, and runs every test: the
# release tooling's with pytest, then the program's under Wine (the x86 lister
# under WoW64, with 32-bit Wine).
set -eu
# The release tooling's tests need what a release build does (the x86 lister,
# its compiler); they sign exes of their own with a throwaway certificate.
# 32-bit Wine needs its preloader as much as 64-bit Wine does.
extra_packages="$(grep -v '^#' "$(dirname "$0")/../release/packages.txt") wine32:i386
  wine32-preloader:i386 python3-pytest openssl osslsigncode"
# shellcheck source=scripts/setup.sh
source "$(dirname "$0")/setup.sh"
# pytest fails on a failing test, and on none run (its status 5).
/usr/bin/python3 -m pytest -p no:cacheprovider -q tests/release_test.py
build windows
# Installed above, so a build that left the x86 lister out is a fault here.
if ! grep -qx 'LISTER_X86:INTERNAL=ON' build/windows/CMakeCache.txt; then
  echo "The x86 lister and its test cases were left out (see above)." >&2
  exit 1
fi
ctest --preset windows "$@"
