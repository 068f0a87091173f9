#!/usr/bin/env bash
# Builds the release exe (optimised, no symbols), checks it, and makes
# build/windows-release/list-capture-devices-<version>-win64.zip.
set -eu
preset=windows-release
source "$(dirname "$0")/setup.sh"
ctest --preset windows-release -R '^executable$'
cd build/windows-release
cpack
