#!/usr/bin/env bash
# Usage: release/package.sh [--signed DIR]
# Builds both exes, checks them, and makes the release in build/release, as
# docs/release-tooling.md says: from one commit, the same bytes anywhere with
# the same packages (the one time recorded is SOURCE_DATE_EPOCH, the commit's;
# the zip's README names REPOSITORY_URL, or else the clone's origin). With
# --signed DIR, it is of DIR's exes, each of which must be this build plus
# intact signatures, or nothing is written (exit 3; 2 where one cannot be judged).
set -euo pipefail
signed=""
if [ "${1:-}" = --signed ] && [ $# -eq 2 ] && [ -d "$2" ]; then
  signed=$(cd "$2" && pwd)
elif [ "${1:-}" = --signed ] && [ $# -eq 2 ] && [ -n "$2" ]; then
  echo "There is no folder $2." >&2
  exit 2
elif [ $# -gt 0 ]; then
  echo "Usage: release/package.sh [--signed DIR]" >&2
  exit 2
fi
cd "$(dirname "$0")/.."
# The .buildinfo records this tree's commit, not that of a clone that holds it.
if [ "$(git rev-parse --show-toplevel 2>/dev/null)" != "$(pwd -P)" ]; then
  echo "$PWD is not a git clone: a release records the commit it is made from, so make it" \
    "in a clone of list-capture-devices." >&2
  exit 2
fi
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export SOURCE_DATE_EPOCH
exes=(build/windows-release/list-capture-devices.exe
  build/windows-x86-release/list-capture-devices-x86.exe)
# An exe linked for another commit would keep that commit's time in its header.
rm -f "${exes[@]}"
release_build=yes
# shellcheck source=scripts/setup.sh
source scripts/setup.sh
build windows-release check-executable
build windows-x86-release check-executable
# Each exe carries only what it uses: the C++ stream classes would take it past.
over=""
for exe in "${exes[@]}"; do
  budget=262144
  [[ $exe != *-x86.exe ]] || budget=327680
  size=$(stat -c %s "$exe")
  if [ "$size" -gt "$budget" ]; then
    echo "$exe is $size bytes, over its budget of $budget: ${exe%.exe}.map says what it took." >&2
    over=yes
  fi
done
[ -z "$over" ] || exit 1
# A refusal (its status 1) exits 3, told apart from a failed build's.
[ -z "$signed" ] || release/signature.py check "$signed" "${exes[@]}" ||
  { status=$?; [ "$status" -ne 1 ] || status=3; exit "$status"; }
# What others' code the exes contain, under what terms; it fails on any unknown.
components=build/release-components.tsv
release/components.py "${exes[@]/%.exe/.map}" >"$components"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/windows-release/CMakeCache.txt)
release=build/release
stage=$release/staged
rm -rf "$release"
# The install rules say what the zip holds, and set each file's permissions.
for preset in windows-release windows-x86-release; do
  cmake --install "build/$preset" --prefix "$stage" >&2
done
[ -z "$signed" ] || cp "$signed"/list-capture-devices{,-x86}.exe "$stage"
release/notices.py "$version" "$components" >"$stage/THIRD-PARTY-NOTICES.txt"
(cd "$stage" && ../../../release/readme.py "$version" README.md)
chmod 644 "$stage/THIRD-PARTY-NOTICES.txt"
# Info-ZIP, not CMake's archiver, which records access and change times: -X
# keeps only the DOS time, in local time (here UTC). The files go in by name.
zip=list-capture-devices-$version-windows.zip
(
  cd "$stage"
  find . -type f -exec touch -d "@$SOURCE_DATE_EPOCH" {} +
  find . -type f -printf '%P\n' | LC_ALL=C sort | TZ=UTC0 zip -X -D -q -@ "../$zip"
)
cp -p "$stage"/*.exe "$stage/THIRD-PARTY-NOTICES.txt" "$release"
cd "$release"
sbom=list-capture-devices-$version.cdx.json
../../release/sbom.py "$version" "../../$components" list-capture-devices{,-x86}.exe >"$sbom"
buildinfo=list-capture-devices-$version.buildinfo
made=("$zip" list-capture-devices{,-x86}.exe THIRD-PARTY-NOTICES.txt "$sbom")
../../release/buildinfo.py "$version" ${signed:+--signed} "${made[@]}" >"$buildinfo"
sha256sum "${made[@]}" "$buildinfo" >SHA256SUMS
echo "$PWD/$zip:"
cat SHA256SUMS
