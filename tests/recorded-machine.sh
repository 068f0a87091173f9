#!/usr/bin/env bash
# The release that release/package.sh made in build/release, rebuilt inside
# the machine that its .buildinfo records, run by .ci/run: RELEASING.md's own
# commands make the machine from the archive that apt reaches (naming each
# recorded version that the archive no longer has) and rebuild in it with no
# network, which must give the same bytes (0); an exe changed by a byte is
# refused there too (1). Its folders' names hold a space, as a reader's may.
set -euo pipefail
cd "$(dirname "$0")/.."
throwaway=$(mktemp -d)
trap 'rm -rf "$throwaway"' EXIT
extra_packages=mmdebstrap source scripts/setup.sh
# As RELEASING.md names them: the download, this clone, the machine.
# shellcheck disable=SC2034  # read by its commands, below
release="$throwaway/the release" source=$PWD machine="$throwaway/a machine"
mkdir "$release" "$throwaway/byte"
cp build/release/*.zip build/release/*.buildinfo build/release/SHA256SUMS "$release"
cp "$release"/* build/release/*.exe "$throwaway/byte"
exe=list-capture-devices-x86.exe
printf '\x90' | dd of="$throwaway/byte/$exe" bs=1 seek=1100 conv=notrunc status=none
byte=$throwaway/byte
sed -i "s/^[0-9a-f]\{64\}  $exe\$/$(cd "$byte" && sha256sum $exe)/" "$byte/SHA256SUMS"
# RELEASING.md's line that makes the machine, then its line that rebuilds in it.
mapfile -t commands < <(sed -n '/^```/,/^```/{/^"$source\/release\/machine\.py" /p}' RELEASING.md
  sed -n '/^```/,/^```/{/^bash "$source\/release\/rebuild-in\.sh" /{p;q}}' RELEASING.md)
[ "${#commands[@]}" -eq 2 ] || { echo "RELEASING.md's commands: ${commands[*]}" >&2; exit 1; }
for command in "${commands[@]}"; do
  echo "\$ $command"
  eval "$command" | tee "$throwaway/said"
done
grep -qF "is the same to the byte as" "$throwaway/said" ||
  { echo "The rebuild in the machine did not say it is the same." >&2; exit 1; }
status=0
bash release/rebuild-in.sh "$machine" "$throwaway/byte" >"$throwaway/said" 2>&1 || status=$?
if [ "$status" -ne 1 ] || ! grep -F "The rebuild differs from /root/release" "$throwaway/said"; then
  cat "$throwaway/said"; echo "The changed byte was not refused in the machine (exit $status)." >&2
  exit 1
fi
