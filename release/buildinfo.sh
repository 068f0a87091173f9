#!/usr/bin/env bash
# Usage: release/buildinfo.sh VERSION
# Prints the build information of a release of this checkout made on this
# machine: the commit, SOURCE_DATE_EPOCH (set by the caller), the Debian
# release and architecture, and the installed version of every package whose
# files reach the released bytes. release/package.sh puts it beside the
# release; release/rebuild.sh compares a release's with this machine's.
set -eu
cd "$(dirname "$0")/.."
version=$1
# The packages whose files a release build reads, as a trace of it shows,
# less those that only run the build: the compilers with their C++ and
# runtime libraries and the arithmetic libraries that they compute with,
# MinGW-w64's headers and import libraries, binutils, CMake (which writes the
# command lines) and zip.
packages="binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 cmake cmake-data
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix gcc-mingw-w64-i686-posix
  gcc-mingw-w64-x86-64-posix libgmp10 libisl23 libmpc3 libmpfr6
  mingw-w64-common mingw-w64-i686-dev mingw-w64-x86-64-dev zip"
source /etc/os-release
architecture=$(dpkg --print-architecture)

echo "# How the list-capture-devices $version release was built: the source" \
  "commit and its time, the Debian release, and the exact version of every" \
  "package whose files reach the released bytes. Rebuilt from that commit" \
  "with these packages (Debian's snapshot archive keeps every version of" \
  "every package), the files of SHA256SUMS come out the same to the byte;" \
  "release/rebuild.sh, given a folder with this file and SHA256SUMS, does" \
  "that and compares."
echo "Source: list-capture-devices"
echo "Version: $version"
echo "Commit: $(git rev-parse HEAD)"
# A tree that is not its commit can be rebuilt only from that tree.
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
  echo "Uncommitted-Changes: yes"
echo "Source-Date-Epoch: $SOURCE_DATE_EPOCH"
echo "Build-Distribution: $ID $VERSION_ID ($VERSION_CODENAME)"
echo "Build-Architecture: $architecture"
echo "Installed-Build-Depends:"
for package in $packages; do
  # This architecture's (a library may be installed for i386 too).
  installed=$(dpkg-query -W -f='${Architecture} ${Version}\n' "$package" \
    2>/dev/null | awk -v own="$architecture" '$1 == own || $1 == "all" { print $2 }')
  if [ -z "$installed" ]; then
    echo "$package is not installed." >&2
    exit 1
  fi
  echo " $package (= $installed)"
done
