#!/usr/bin/env bash
# Prints the notes of the release in build/release, which the tag workflow publishes as its
# description, in Markdown, where a line break shows: each paragraph is one line. Any command that
# fails fails them. SIGNED_BY=SignPath, set by the release workflow once its signing job has signed
# the exes, adds the line that SignPath Foundation asks for.
set -euo pipefail
signature=$(cd "$(dirname "$0")" && pwd)/signature.py
cd "$(dirname "$0")/../build/release"
# The notes give these digests: they must be the files'.
sha256sum --check --quiet SHA256SUMS >&2
zip=$(ls list-capture-devices-*-windows.zip)
buildinfo=$(ls list-capture-devices-*.buildinfo)
version=${zip#list-capture-devices-}
version=${version%-windows.zip}
# The exes' signers, if signed: the same for both, signed together. Who they are is not checked.
signers=$("$signature" signers list-capture-devices.exe | sort -u)
x86_signers=$("$signature" signers list-capture-devices-x86.exe | sort -u)
if [ "$signers" != "$x86_signers" ]; then
  echo "The two exes' signatures do not name the same signers: a release's exes are signed" \
    "together." >&2
  exit 1
fi
if [ -n "${SIGNED_BY:-}" ] && { [ "$SIGNED_BY" != SignPath ] || [ -z "$signers" ]; }; then
  echo "SIGNED_BY is '$SIGNED_BY': it may only be SignPath, and only for signed exes." >&2
  exit 1
fi
if [ -z "$signers" ]; then
  signing="The exes are not signed. Where Smart App Control is on, Windows 11 does not start them at all; elsewhere, SmartScreen warns of an unknown publisher when one is started from Explorer."
else
  named="an Authenticode signature that names \`$signers\` as its signer"
  [[ $signers != *$'\n'* ]] ||
    named="Authenticode signatures that name $(sed 's/.*/`&`/' <<<"$signers" | sed ':a;N;s/\n/, /;ba') as their signers"
  signing="Both exes carry $named (whether to trust that certificate is Windows' to judge): Windows shows it under the file's Properties, Digital Signatures, and \`Get-AuthenticodeSignature .\\list-capture-devices.exe\` in PowerShell prints it. The signature adds nothing to the code: taken off, it leaves this tag's build, to the byte (below)."
  # SignPath Foundation's condition, said where its service signed them, not from the certificate.
  [ -z "${SIGNED_BY:-}" ] ||
    signing+=" Free code signing provided by SignPath.io, certificate by SignPath Foundation."
fi
# Attached by the tag workflow once it has attested the files.
provenance=list-capture-devices-$version.provenance.sigstore.json
sbom_bundle=list-capture-devices-$version.sbom.sigstore.json
# Known inside the tag workflow; elsewhere, for the reader to fill in.
repository=${GITHUB_REPOSITORY:-OWNER/REPO}

cat <<NOTES
# list-capture-devices $version

A Windows console program that lists the video-capture devices (cameras, capture cards) that DirectShow knows of, each with the index under which programs that open cameras through DirectShow find it.

Take the zip, or just the exe you need: each needs nothing beside it. Run the one whose bitness matches the program whose camera index you want; the README in the zip says how to tell.

| File | What it is | SHA-256 |
|---|---|---|
NOTES
while read -r digest file; do
  case $file in
    *.zip) what="Both exes, with the README, the licence and the third-party notices" ;;
    *-x86.exe) what="The lister for 32-bit (x86) programs" ;;
    *.exe) what="The lister for 64-bit (x86-64) programs" ;;
    THIRD-PARTY-NOTICES.txt) what="The notices that the licences of the MinGW-w64 runtime and GCC's runtime libraries, parts of which each exe contains, ask to be passed on" ;;
    *.cdx.json) what="The bill of materials (CycloneDX): the exes with their digests, and the Debian packages whose code they contain, with versions and licences" ;;
    *.buildinfo) what="How these files were built: the commit, and the Debian packages that a rebuild needs to come out the same" ;;
  esac
  echo "| \`$file\` | $what | \`$digest\` |"
done <SHA256SUMS
cat <<NOTES
| \`SHA256SUMS\` | These digests, for \`sha256sum -c --ignore-missing\`, which checks the files downloaded beside it | |
| \`$provenance\` | The signed record of these files' build provenance (below) | |
| \`$sbom_bundle\` | The signed attestation of the bill of materials | |

## Checking a download

In the download's folder, in a Windows terminal, either of these prints a file's SHA-256, which must be the one above (certutil writes it in lower case, PowerShell in upper case):

\`\`\`
certutil -hashfile $zip SHA256
powershell -Command "Get-FileHash $zip -Algorithm SHA256"
\`\`\`

$signing

Each file was built from this tag by this repository's release workflow, on Debian 12, and the workflow recorded its build provenance, and attested the bill of materials for the zip and the exes. With GitHub's command line, \`gh\` 2.49 or later (CHECKING.md in the source says where to get it), this checks that record for a downloaded file:

\`\`\`
gh attestation verify $zip --repo $repository
\`\`\`

\`$provenance\` is that record itself, signed (\`$sbom_bundle\` is the attested bill of materials). Offline, the check needs it beside the download, and the roots of trust that its signature is checked against, written once while online by \`gh attestation trusted-root > trusted_root.jsonl\`:

\`\`\`
gh attestation verify $zip --bundle $provenance --repo $repository --custom-trusted-root trusted_root.jsonl
\`\`\`

The release is reproducible: built again from the tag with the packages that \`$buildinfo\` names, it comes out the same to the byte. In a clone of the source, \`release/rebuild.sh FOLDER\`, with that file and \`SHA256SUMS\` in FOLDER beside whichever files you downloaded, rebuilds it and compares (RELEASING.md in the source says more).
NOTES
