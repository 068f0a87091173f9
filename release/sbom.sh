#!/usr/bin/env bash
# Usage: release/sbom.sh VERSION COMPONENTS EXE...
# Prints the release's bill of materials in CycloneDX 1.6 JSON: the project,
# its exes with their SHA-256, each Debian package that COMPONENTS (what
# release/components.sh printed) says an exe took code from, with its exact
# version, purl and licences as SPDX, and which exe contains which. Nothing in
# it depends on when or where it is made: its time is SOURCE_DATE_EPOCH, its
# order fixed, and its serial number is derived from the rest.
set -eu
version=$1
components=$2
shift 2
: "${SOURCE_DATE_EPOCH:?the release time}"

json() { sed 's/\\/\\\\/g; s/"/\\"/g' <<<"$1"; }
# pkg:deb/debian/NAME@VERSION?arch=ARCH, the version percent-encoded.
purl() {
  echo "pkg:deb/debian/$1@$(sed 's/%/%25/g; s/+/%2B/g; s/:/%3A/g' <<<"$2")?arch=$3"
}
# dependency REF: a dependencies entry, REF depending on what its standard
# input names, a line each.
dependency() {
  awk -v ref="$1" '
    { items = items (NR > 1 ? "," : "") "\n        \"" $0 "\"" }
    END {
      printf "    {\n      \"ref\": \"%s\",\n      \"dependsOn\": [%s%s]\n    }",
        ref, items, NR ? "\n      " : ""
    }'
}

packages=$(cut -f2-4 "$components" | LC_ALL=C sort -u)
body() {
  local serial=$1 exe package package_version architecture separator=""
  shift
  cat <<JSON
{
  "bomFormat": "CycloneDX",
  "specVersion": "1.6",
  "serialNumber": "urn:uuid:$serial",
  "version": 1,
  "metadata": {
    "timestamp": "$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%dT%H:%M:%SZ)",
    "component": {
      "type": "application",
      "bom-ref": "list-capture-devices",
      "name": "list-capture-devices",
      "version": "$version",
      "description": "Lists the video-capture devices that DirectShow knows of",
      "licenses": [{"license": {"id": "MIT"}}]
    }
  },
  "components": [
JSON
  for exe in "$@"; do
    printf '%s    {\n' "$separator"
    cat <<JSON
      "type": "application",
      "bom-ref": "${exe##*/}",
      "name": "${exe##*/}",
      "version": "$version",
      "hashes": [{"alg": "SHA-256", "content": "$(sha256sum <"$exe" | cut -c1-64)"}]
JSON
    printf '    }'
    separator=$',\n'
  done
  while IFS=$'\t' read -r package package_version architecture; do
    mine=$(awk -F'\t' -v p="$package" '$2 == p' "$components")
    printf ',\n    {\n'
    cat <<JSON
      "type": "library",
      "bom-ref": "$(purl "$package" "$package_version" "$architecture")",
      "name": "$package",
      "version": "$package_version",
      "description": "$(json "$(cut -f7 <<<"$mine" | awk '!seen[$0]++' |
        sed ':a;N;s/\n/; /;ba'), linked in from $(cut -f5 <<<"$mine" |
        LC_ALL=C sort -u | sed ':a;N;s/\n/, /;ba')")",
      "purl": "$(purl "$package" "$package_version" "$architecture")",
      "licenses": [{"expression": "$(cut -f8 <<<"$mine" | LC_ALL=C sort -u |
        sed ':a;N;s/\n/ AND /;ba')"}]
JSON
    printf '    }'
  done <<<"$packages"
  printf '\n  ],\n  "dependencies": [\n'
  for exe in "$@"; do echo "${exe##*/}"; done | dependency list-capture-devices
  for exe in "$@"; do
    printf ',\n'
    awk -F'\t' -v exe="${exe##*/}" '$1 == exe { print $2 "\t" $3 "\t" $4 }' \
      "$components" | LC_ALL=C sort -u |
      while IFS=$'\t' read -r package package_version architecture; do
        purl "$package" "$package_version" "$architecture"
      done | dependency "${exe##*/}"
  done
  while IFS=$'\t' read -r package package_version architecture; do
    printf ',\n'
    dependency "$(purl "$package" "$package_version" "$architecture")" </dev/null
  done <<<"$packages"
  printf '\n'
  printf '  ]\n}\n'
}

# The serial number, a UUID of version 8 (RFC 9562: made as its maker
# chooses) from the SHA-256 of the rest.
digest=$(body 00000000-0000-0000-0000-000000000000 "$@" | sha256sum)
variant=$(printf '%x' $(( (0x${digest:16:1} & 3) | 8 )))
body "${digest:0:8}-${digest:8:4}-8${digest:13:3}-$variant${digest:17:3}-${digest:20:12}" "$@"
