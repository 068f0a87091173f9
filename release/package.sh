#!/usr/bin/env bash
# Usage: release/package.sh [--signed DIR]
# Builds the release exes, x86-64 and x86 (optimised, no symbols), checks them,
# and makes, in build/release:
# - list-capture-devices-<version>-windows.zip: both exes, with the README,
#   the LICENSE and THIRD-PARTY-NOTICES.txt;
# - the two exes, as the zip holds them;
# - THIRD-PARTY-NOTICES.txt: the notices that the licences of the others'
#   code in the exes ask for, found from the exes' link maps
#   (release/components.py, release/notices.py);
# - list-capture-devices-<version>.cdx.json: the bill of materials, from the
#   same (release/sbom.py);
# - list-capture-devices-<version>.buildinfo: what they were built from and
#   with (release/buildinfo.py);
# - SHA256SUMS of all of these (for sha256sum -c).
#
# The same commit gives the same bytes in any folder, at any time, with the
# same packages: the exes and the zip record no path of this machine's and no
# time but SOURCE_DATE_EPOCH, which is the commit's time unless set.
#
# With --signed DIR, DIR holds the two exes signed (Authenticode): each must
# be exactly this build plus intact signatures (release/signature.py), and the
# release is made of them as they are. An exe that is not is refused, by name,
# and nothing is written (exit 3).
set -eu
signed=""
if [ "${1:-}" = --signed ] && [ -d "${2:-}" ]; then
  signed=$(cd "$2" && pwd)
elif [ $# -gt 0 ]; then
  echo "Usage: release/package.sh [--signed DIR]" >&2
  exit 2
fi
cd "$(dirname "$0")/.."
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  if ! SOURCE_DATE_EPOCH=$(git log -1 --format=%ct); then
    echo "Not a git checkout: set SOURCE_DATE_EPOCH to the release's time." >&2
    exit 1
  fi
fi
export SOURCE_DATE_EPOCH
# The linker records the time in an exe's header; an exe linked for another
# commit would keep that commit's time.
rm -f build/windows-release/list-capture-devices.exe \
  build/windows-x86-release/list-capture-devices-x86.exe
extra_packages="g++-mingw-w64-i686-posix python3-debian python3-pefile ${signed:+osslsigncode}"
source scripts/setup.sh
build windows-release check-executable
build windows-x86-release check-executable
exes="build/windows-release/list-capture-devices.exe
  build/windows-x86-release/list-capture-devices-x86.exe"
# shellcheck disable=SC2086 # the two paths, without spaces
[ -z "$signed" ] || release/signature.py check "$signed" $exes
# What of others' code the exes contain, and under what terms: this fails,
# naming it, on anything linked in whose terms are not known.
components=build/release-components.tsv
release/components.py build/windows-release/list-capture-devices.map \
  build/windows-x86-release/list-capture-devices-x86.map >"$components"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows-release/CMakeCache.txt)
zip=list-capture-devices-$version-windows.zip
release=build/release
stage=$release/staged
rm -rf "$release"
# The install rules say what the zip holds, and set each file's permissions.
for preset in windows-release windows-x86-release; do
  cmake --install "build/$preset" --prefix "$stage" >&2
done
# The signed exes as they are, in the files' places (and modes).
for exe in $exes; do
  [ -z "$signed" ] || cp "$signed/${exe##*/}" "$stage/${exe##*/}"
done
release/notices.py "$version" "$components" >"$stage/THIRD-PARTY-NOTICES.txt"
chmod 644 "$stage/THIRD-PARTY-NOTICES.txt"
# Info-ZIP, not CMake's archiver: that one records each file's access and
# change times, which no build can fix. -X leaves out every time but the
# DOS one, in local time: here UTC. The files go in by name, in byte order.
(
  cd "$stage"
  find . -type f -exec touch -d "@$SOURCE_DATE_EPOCH" {} +
  find . -type f -printf '%P\n' | LC_ALL=C sort |
    TZ=UTC0 zip -X -D -q -@ "../$zip"
)
cp -p "$stage"/*.exe "$stage/THIRD-PARTY-NOTICES.txt" "$release"

sbom=list-capture-devices-$version.cdx.json
release/sbom.py "$version" "$components" "$release/list-capture-devices.exe" \
  "$release/list-capture-devices-x86.exe" >"$release/$sbom"
buildinfo=list-capture-devices-$version.buildinfo
release/buildinfo.py "$version" >"$release/$buildinfo"
cd "$release"
sha256sum "$zip" list-capture-devices.exe list-capture-devices-x86.exe \
  THIRD-PARTY-NOTICES.txt "$sbom" "$buildinfo" >SHA256SUMS
echo "$PWD/$zip:"
cat SHA256SUMS
