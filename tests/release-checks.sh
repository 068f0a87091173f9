#!/usr/bin/env bash
# The release's checks end to end, run by .ci/run on build/release. First what
# CHECKING.md and RELEASING.md have a user run on Debian, from their own code
# blocks, in a download of the zip, SHA256SUMS and the .buildinfo alone: the
# digests, the zip's files, and the release rebuilt elsewhere from the commit
# that its .buildinfo records, which must come out the same to the byte...
set -eu
cd "$(dirname "$0")/.."
throwaway=$(mktemp -d)
trap 'rm -rf "$throwaway"' EXIT  # throwaway certificates and copies of the release
cp -r build/release "$throwaway/checked"
extra_packages="unzip openssl osslsigncode" source scripts/setup.sh
version=$(cd build/release && echo list-capture-devices-*-windows.zip)
version=${version#list-capture-devices-} version=${version%-windows.zip}
download=$throwaway/list-capture-devices-$version
mkdir "$download" && cp build/release/*.zip build/release/*.buildinfo build/release/SHA256SUMS "$download"
mapfile -t commands < <(sed -s -n '/^```/,/^```/{s/<version>/'"$version"'/g;s|~/Downloads|'"$throwaway"'|
  /^\(sha256sum\|unzip\|release\/rebuild\.sh\) /p}' CHECKING.md RELEASING.md)
[ "${#commands[@]}" -eq 3 ] ||
  { echo "CHECKING.md's and RELEASING.md's commands: ${commands[*]}" >&2; exit 1; }
for command in "${commands[@]}"; do
  echo "\$ $command"
  if [[ $command == release/* ]]; then eval "$command"; else (cd "$download" && eval "$command"); fi
done
exits() {  # exits STATUS SAID COMMAND...: COMMAND exits STATUS, and says SAID.
  local status=0
  "${@:3}" >"$throwaway/said" 2>&1 || status=$?
  [ "$status" -eq "$1" ] && grep -F -- "$2" "$throwaway/said" ||
    { cat "$throwaway/said"; echo "Not $1 ($status) with \"$2\": ${*:3}" >&2; exit 1; }
}
# ...and so must the release signed with a throwaway certificate and a program
# name, SHA-1 with SHA-256 nested; the signed exe still runs. An exe changed,
# then signed, is refused and named (package.sh: 3; the rebuild: 1), and so is
# one whose code is the build's again under that signature; osslsigncode verify
# agrees. Corrupt signatures are the tests' (tests/release_test.py).
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=Throwaway signer" \
  -keyout "$throwaway/key.pem" -out "$throwaway/cert.pem" 2>/dev/null
# sign HASH IN OUT [OPTION...]
sign() { rm -f "$3"; osslsigncode sign "${@:4}" -n list-capture-devices -h "$1" -in "$2" -out "$3" \
  -certs "$throwaway/cert.pem" -key "$throwaway/key.pem" -time "$(git log -1 --format=%ct)" \
  >/dev/null; }
# verify EXE: osslsigncode's verdict, with the throwaway certificate as the CA.
verify() { osslsigncode verify -in "$1" -CAfile "$throwaway/cert.pem"; }
mkdir "$throwaway/signed"
for exe in build/release/*.exe; do
  sign sha1 "$exe" "$throwaway/sha1.exe"
  sign sha256 "$throwaway/sha1.exe" "$throwaway/signed/${exe##*/}" -nest
  exits 0 "Succeeded" verify "$throwaway/signed/${exe##*/}"
done
bash release/package.sh --signed "$throwaway/signed" >/dev/null
exits 0 "The rebuild is the same to the byte as" bash release/rebuild.sh
cmake/wine-run build/windows-release/wine-prefix build/release/list-capture-devices.exe
printf '\x90' | dd of=build/windows-release/list-capture-devices.exe bs=1 seek=1100 conv=notrunc status=none
sign sha256 build/windows-release/list-capture-devices.exe build/release/list-capture-devices.exe
altered="list-capture-devices.exe is not this build plus a signature: its code differs"
exits 3 "build/release/$altered from this build's from offset 1100" \
  bash release/package.sh --signed build/release
exits 1 "build/release/$altered" bash release/rebuild.sh
dd if=build/windows-release/list-capture-devices.exe of=build/release/list-capture-devices.exe \
  bs=1 skip=1100 seek=1100 count=1 conv=notrunc status=none
exits 3 "list-capture-devices.exe is not this build plus a signature: its signature 0 does not" \
  bash release/package.sh --signed build/release
exits 1 Failed verify build/release/list-capture-devices.exe
# Both exes signed with a program name and a link in more letters than ASCII's,
# and both timestamped by a throwaway authority (openssl ts), are accepted.
tests/timestamp_authority.py "$throwaway" & authority=$!
trap 'kill "$authority"; rm -rf "$throwaway"' EXIT
mkdir "$throwaway/named" "$throwaway/stamped"
for _ in {1..20}; do [ -s "$throwaway/port" ] || sleep 0.5; done
timestamps=http://127.0.0.1:$(cat "$throwaway/port")/
for exe in "$throwaway"/checked/*.exe; do
  osslsigncode sign -n 'Liste des caméras' -i https://exämple.org/ -certs "$throwaway/cert.pem" \
    -key "$throwaway/key.pem" -in "$exe" -out "$throwaway/named/${exe##*/}" >/dev/null
  sign sha256 "$exe" "$throwaway/stamped/${exe##*/}" -ts "$timestamps"
done
for kind in named stamped; do release/signature.py check "$throwaway/$kind" "$throwaway"/checked/*.exe; done
# Then the unsigned release again, the one CI keeps: the one checked, to the byte.
bash release/package.sh >/dev/null
diff -rq "$throwaway/checked" build/release ||
  { echo "The release made last is not the one checked: see the files above." >&2; exit 1; }
# ...a release whose .buildinfo records another zip is what its source builds
# (0); one whose x86 exe differs by a byte differs, in .text, says diffoscope
# (1); one whose commit this clone lacks, or no folder, cannot be judged (2).
agree() { sed -i "s/^[0-9a-f]\{64\}  $2\$/$(cd "$1" && sha256sum "$2")/" "$1/SHA256SUMS"; }
buildinfo=list-capture-devices-$version.buildinfo
mkdir "$throwaway/zip" "$throwaway/byte" "$throwaway/commit"
cp "$download"/* "$throwaway/zip" && cp "$download"/* "$throwaway/commit"
cp "$download"/* build/release/*.exe "$throwaway/byte"
sed -i 's/^ zip (= [^)]*)/ zip (= 3.0-1)/' "$throwaway/zip/$buildinfo"
agree "$throwaway/zip" "$buildinfo"
printf '\x90' | dd of="$throwaway/byte/list-capture-devices-x86.exe" bs=1 seek=1100 conv=notrunc status=none
agree "$throwaway/byte" list-capture-devices-x86.exe
sed -i "s/^Commit: .*/Commit: $(printf '0%.0s' {1..40})/" "$throwaway/commit/$buildinfo"
agree "$throwaway/commit" "$buildinfo"
exits 0 "  zip: recorded 3.0-1, here " bash release/rebuild.sh "$throwaway/zip"
exits 1 "│ +.text:" bash release/rebuild.sh "$throwaway/byte"
grep -F "The rebuild differs from $throwaway/byte" "$throwaway/said"
exits 2 "This checkout does not have commit 0000000000" bash release/rebuild.sh "$throwaway/commit"
exits 2 "There is no folder $throwaway/none." bash release/rebuild.sh "$throwaway/none"
