#!/usr/bin/env bash
# Usage: tests/check-exes.sh RELEASE FOLDER
# Copies the release's two exes from RELEASE into FOLDER, beside the test
# programs, and checks each copy against the digest that RELEASE/SHA256SUMS
# gives it: the bytes tested are then the bytes published.
set -eu
[ $# -eq 2 ] || { echo "Usage: tests/check-exes.sh RELEASE FOLDER" >&2; exit 2; }
release=$1 folder=$2
for exe in list-capture-devices.exe list-capture-devices-x86.exe; do
  # Its line in sha256sum's own form, the digest and the name:
  # 5b4c959bb7ae1396c50479567d0e3ebd4071a40d74e133410b6563b1d06a4a17  list-capture-devices.exe
  lines=$(grep -E "^[0-9a-f]{64}  ${exe//./\\.}\$" "$release/SHA256SUMS" || true)
  if [ "$(grep -c . <<<"$lines")" -ne 1 ]; then
    echo "$release/SHA256SUMS has not one line of a digest and $exe, as sha256sum writes it." >&2
    exit 1
  fi
  cp "$release/$exe" "$folder/$exe"
  (cd "$folder" && sha256sum --check --strict <<<"$lines")
done
