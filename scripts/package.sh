#!/usr/bin/env bash
# Builds the release exe (optimised, no symbols), checks it, and makes beside
# it, in build/windows-release, list-capture-devices-<version>-win64.zip and
# SHA256SUMS (for sha256sum -c).
#
# The same commit gives the same bytes in any folder, at any time: the exe and
# the zip record no path of this machine's and no time but SOURCE_DATE_EPOCH,
# which is the commit's time unless set.
set -eu
cd "$(dirname "$0")/.."
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  if ! SOURCE_DATE_EPOCH=$(git log -1 --format=%ct); then
    echo "Not a git checkout: set SOURCE_DATE_EPOCH to the release's time." >&2
    exit 1
  fi
fi
export SOURCE_DATE_EPOCH
preset=windows-release
build=build/$preset
# The linker records the time in the exe's header; an exe linked for another
# commit would keep that commit's time.
rm -f "$build/list-capture-devices.exe"
targets=check-executable
source scripts/setup.sh

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
zip=list-capture-devices-$version-win64.zip
stage=$build/staged
rm -rf "$stage" "$build/$zip"
# The install rules say what the zip holds, and set each file's permissions.
cmake --install "$build" --prefix "$stage" >&2
# Info-ZIP, not CMake's archiver: that one records each file's access and
# change times, which no build can fix. -X leaves out every time but the
# DOS one, in local time: here UTC. The files go in by name, in byte order.
(
  cd "$stage"
  find . -type f -exec touch -d "@$SOURCE_DATE_EPOCH" {} +
  find . -type f -printf '%P\n' | LC_ALL=C sort |
    TZ=UTC0 zip -X -D -q -@ "../$zip"
)
cd "$build"
sha256sum "$zip" list-capture-devices.exe >SHA256SUMS
echo "$PWD/$zip:"
cat SHA256SUMS
