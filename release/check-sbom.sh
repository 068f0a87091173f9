#!/usr/bin/env bash
# Usage: release/check-sbom.sh [FILE]
# Validates a bill of materials (by default build/release's) against the CycloneDX 1.6 JSON schema,
# strictly, and each licence in it as SPDX, with the CycloneDX library from npm, installed once into
# build/tools/cyclonedx (then offline): version 7, the last that takes Debian 12's Node.js 18.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
file=${1:-$(ls "$top"/build/release/*.cdx.json)}
tools=$top/build/tools/cyclonedx
library=$tools/node_modules/@cyclonedx/cyclonedx-library
# The validator's own dependencies are optional ones of the library's.
[ -f "$library/package.json" ] ||
  bash "$top/scripts/npm-install.sh" "$tools" --omit=optional \
    @cyclonedx/cyclonedx-library@7.1.0 ajv@8.17.1 ajv-formats@3.0.1 \
    ajv-formats-draft2019@1.6.1 spdx-expression-parse@4.0.0
node - "$library" "$file" <<'JS'
const [library, file] = process.argv.slice(2);
const { SPDX, Validation } = require(library);
(async () => {
  const text = require("fs").readFileSync(file, "utf8");
  const errors = await new Validation.JsonStrictValidator("1.6").validate(text);
  const problems = (errors || []).map(e => `${e.instancePath || "/"}: ${e.message}`);
  const bom = JSON.parse(text);
  for (const component of [bom.metadata.component, ...bom.components])
    for (const { expression } of component.licenses || [])
      if (expression !== undefined && !SPDX.isValidSpdxLicenseExpression(expression))
        problems.push(`${component["bom-ref"]}: "${expression}" is not an SPDX licence expression`);
  for (const problem of problems) console.log(`${file}: ${problem}`);
  if (problems.length) process.exit(1);
  console.log(`${file}: valid CycloneDX ${bom.specVersion}, ${bom.components.length} components`);
})();
JS
