#!/usr/bin/env bash
# Run by .ci/run: RELEASING.md's commands make the machine that build/release's .buildinfo
# records, and rebuild in it, from a folder named with a space: the same (0); a byte changed (1).
set -euo pipefail
cd "$(dirname "$0")/.."
throwaway=$(mktemp -d) && trap 'rm -rf "$throwaway"' EXIT
extra_packages=mmdebstrap source scripts/setup.sh
export release="$throwaway/a release" source=$PWD machine=$throwaway/machine byte=$throwaway/byte
mkdir "$release" "$byte" && cp build/release/{*.zip,*.buildinfo,SHA256SUMS} "$release"
cp "$release"/* build/release/list-capture-devices.exe "$byte"
printf '\x90' | dd of="$byte/list-capture-devices.exe" bs=1 seek=1100 conv=notrunc status=none
# "$source/release/machine.py" ..., then bash "$source/release/rebuild-in.sh" ...: C sorts " first.
# Without either, the machine is not there, or nothing says that the rebuild is the same.
sed -n '/^```/,/^```/{/^\("\|bash "\)$source\/release\/\(machine\.py\|rebuild-in\.sh\)" /p}' \
  RELEASING.md | LC_ALL=C sort -u >"$throwaway/commands"
(set -x && source "$throwaway/commands") | tee "$throwaway/said"
grep -F "is the same to the byte as" "$throwaway/said"
status=0 && bash release/rebuild-in.sh "$machine" "$byte" >"$throwaway/said" 2>&1 || status=$?
[ "$status" -eq 1 ] && grep -F ".exe: differs from offset 1100" "$throwaway/said" &&
  grep -F "The rebuild differs from $byte:" "$throwaway/said" ||
  { cat "$throwaway/said"; echo "Not refused in the machine (exit $status)." >&2; exit 1; }
