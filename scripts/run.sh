#!/usr/bin/env bash
# Builds list-capture-devices.exe, and nothing else, and runs it under Wine, in
# a Wine prefix of the build tree's own, against Wine's device enumerator.
set -eu
source "$(dirname "$0")/setup.sh"
build windows list-capture-devices
exec cmake/wine-run build/windows/wine-prefix build/windows/list-capture-devices.exe
