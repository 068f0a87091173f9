#!/usr/bin/env bash
# Usage: scripts/npm-install.sh FOLDER [NPM-OPTION...] PACKAGE@VERSION...
# Installs the tools that CI runs from npm (offline once installed) into
# FOLDER's node_modules, at the versions given; first Debian's nodejs and npm,
# where npm is missing.
set -eu
folder=$1
shift
if ! command -v npm >/dev/null; then
  echo "Installing nodejs npm..." >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >&2
  apt-get install -y -q --no-install-recommends nodejs npm >&2
fi
npm install --prefix "$folder" --no-save --no-audit --no-fund "$@" >&2
