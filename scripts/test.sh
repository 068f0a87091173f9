#!/usr/bin/env bash
# Builds the program and its tests, and the x86 lister that they also start
# (under WoW64, with 32-bit Wine), and runs every test under Wine.
set -eu
# 32-bit Wine needs its preloader as much as 64-bit Wine does.
extra_packages="g++-mingw-w64-i686-posix wine32:i386 wine32-preloader:i386"
source "$(dirname "$0")/setup.sh"
build windows-x86 list-capture-devices
build windows
ctest --preset windows "$@"
