#!/usr/bin/env bash
# Builds the program and its tests and runs every test under Wine.
set -eu
source "$(dirname "$0")/setup.sh"
ctest --preset windows "$@"
