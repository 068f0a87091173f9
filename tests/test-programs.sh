#!/usr/bin/env bash
# Usage: tests/test-programs.sh FOLDER
# Builds the test programs, unit_tests.exe and lister_tests.exe, with the DLLs
# that the lister's cases plant beside it or register, and copies them flat
# into FOLDER, where tests/run-folder.sh runs them beside the release's exes.
# They import only DLLs that every Windows has: CI's Windows job runs these
# same files.
set -eu
mkdir -p "$1"
folder=$(cd "$1" && pwd)
# The x86 lister's planted DLL needs the i686 compiler; its cases, 32-bit Wine.
extra_packages="g++-mingw-w64-i686-posix wine32:i386 wine32-preloader:i386"
# shellcheck source=scripts/setup.sh
source "$(dirname "$0")/../scripts/setup.sh"
build windows unit_tests lister_tests
cp build/windows/unit_tests.exe build/windows/lister_tests.exe \
  build/windows/list-capture-devices-planted.dll \
  build/windows/list-capture-devices-x86-planted.dll \
  build/windows/ending-enumerator.dll "$folder"
