#!/usr/bin/env bash
# Usage: release/rebuild.sh [DIR]
# Rebuilds a release and compares it with DIR byte for byte: DIR holds the
# release's SHA256SUMS and build information (*.buildinfo), as downloaded, and
# any of its other files. Without DIR, the release that release/package.sh
# made in build/release.
#
# A release whose exes are signed is rebuilt with the signatures taken from
# its exes (in DIR, or else in its zip there): release/package.sh --signed
# makes the release of them once it has found each to be the rebuilt exe
# plus a signature, and refuses, naming it, an exe whose code is not.
#
# It says first how this machine differs from the one that built the release
# (the Debian release, the recorded packages' versions), then builds the
# recorded commit, at the recorded time, in a scratch tree of its own (this
# checkout and its build/ are left alone), and says of each file of SHA256SUMS
# whether the rebuild is the same to the byte, and if not, where the first
# difference is. Any difference fails it.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$top/build/release}
sums=$dir/SHA256SUMS
[ -f "$sums" ] || { echo "No SHA256SUMS in $dir." >&2; exit 2; }
buildinfo=$(sed -n 's/^[0-9a-f]\{64\} [ *]\(.*[.]buildinfo\)$/\1/p' "$sums")
if [ -z "$buildinfo" ] || [ ! -f "$dir/$buildinfo" ]; then
  echo "No build information in $dir: put the release's" \
    "${buildinfo:-*.buildinfo} beside its SHA256SUMS." >&2
  exit 2
fi
field() { sed -n "s/^$1: //p" "$dir/$buildinfo"; }
commit=$(field Commit)
version=$(field Version)
epoch=$(field Source-Date-Epoch)
echo "$buildinfo: list-capture-devices $version, commit $commit," \
  "SOURCE_DATE_EPOCH $epoch, built on $(field Build-Distribution)" \
  "$(field Build-Architecture)."

scratch=$(mktemp -d "${TMPDIR:-/tmp}/list-capture-devices-rebuild.XXXXXX")
tree=$scratch/list-capture-devices
git clone --quiet --no-checkout "$top" "$tree"
if ! git -C "$tree" checkout --quiet --detach "$commit"; then
  echo "This checkout does not have commit $commit: fetch it (its tag is" \
    "v$version) and run this again." >&2
  rm -rf "$scratch"
  exit 1
fi
if [ -n "$(field Uncommitted-Changes)" ]; then
  # Made by release/package.sh from this checkout before its changes were
  # committed: rebuilt with the same changes.
  if [ $# -gt 0 ] || [ "$(git -C "$top" rev-parse HEAD)" != "$commit" ]; then
    echo "The release was built with uncommitted changes: no commit" \
      "rebuilds it." >&2
    exit 1
  fi
  git -C "$top" diff --binary HEAD | git -C "$tree" apply --index
fi

# Before building: what of the recorded build differs here, as the same
# commit's build information sees this machine (buildinfo.sh before it was
# written in Python).
if [ -f "$tree/release/buildinfo.py" ]; then
  here=$(SOURCE_DATE_EPOCH=$epoch "$tree/release/buildinfo.py" "$version") || true
else
  here=$(SOURCE_DATE_EPOCH=$epoch bash "$tree/release/buildinfo.sh" "$version") || true
fi
if [ "$here" = "$(cat "$dir/$buildinfo")" ]; then
  echo "This machine has the recorded Debian release and every recorded" \
    "package at its recorded version."
else
  echo "This machine differs from the one that built the release, so the" \
    "rebuild may differ for that alone:"
  diff "$dir/$buildinfo" - <<<"$here" |
    sed -n 's/^< \(.*\)/  recorded: \1/p; s/^> \(.*\)/  here:     \1/p'
  echo "Debian's snapshot archive keeps every version of every Debian" \
    "package: install the recorded ones from it to rebuild exactly."
fi

# Whose signatures the exes carry, if any: each exe as downloaded, or else as
# the zip holds it.
signed=$scratch/signed
mkdir "$signed"
zip=$(sed -n 's/^[0-9a-f]\{64\} [ *]\(.*[.]zip\)$/\1/p' "$sums")
exes="list-capture-devices.exe list-capture-devices-x86.exe"
package=()
for exe in $exes; do
  if [ -f "$dir/$exe" ]; then
    cp "$dir/$exe" "$signed/"
  elif [ -n "$zip" ] && [ -f "$dir/$zip" ]; then
    archive=$(cd "$dir" && pwd)/$zip
    (cd "$signed" && cmake -E tar xf "$archive" "$exe" 2>/dev/null) || true
  fi
  if [ ! -f "$signed/$exe" ]; then
    continue
  elif who=$("$top/release/signature.py" signers "$signed/$exe" | sed ':a;N;s/\n/, /;ba') &&
      [ -n "$who" ]; then
    echo "$exe carries a signature by $who."
    package=(--signed "$signed")
  else
    echo "$exe carries no signature."
  fi
done
if [ ${#package[@]} -gt 0 ]; then
  for exe in $exes; do
    [ -f "$signed/$exe" ] && continue
    echo "Neither $exe nor ${zip:-the zip} is in $dir: a signed release is" \
      "rebuilt with the signatures of both exes, so put the exes, or the zip," \
      "beside SHA256SUMS." >&2
    rm -rf "$scratch"
    exit 2
  done
fi

echo "Rebuilding commit $commit in $tree${package:+, with the signatures of its exes}..."
if SOURCE_DATE_EPOCH=$epoch bash "$tree/release/package.sh" "${package[@]}" \
    >"$scratch/rebuild.log" 2>&1; then
  :
elif [ $? -eq 3 ]; then
  grep '^Refused: ' "$scratch/rebuild.log" | sed "s|$signed/||" >&2
  echo "The signed exes named above are not this commit's build plus a" \
    "signature, whoever signed them." >&2
  exit 1
else
  tail -n 40 "$scratch/rebuild.log" >&2
  echo "The rebuild failed: its log is $scratch/rebuild.log." >&2
  exit 1
fi

rebuilt=$tree/build/release
status=0
while read -r digest file; do
  file=${file#[ *]}
  if [ ! -f "$dir/$file" ]; then
    # Not downloaded: its line in SHA256SUMS stands for it.
    if [ "$(sha256sum <"$rebuilt/$file")" = "$digest  -" ]; then
      echo "$file: not in $dir; the rebuild has the digest that SHA256SUMS gives"
    else
      echo "$file: not in $dir; the rebuild's digest is not the one SHA256SUMS gives"
      status=1
    fi
  elif difference=$(cmp "$dir/$file" "$rebuilt/$file" 2>&1); then
    echo "$file: the same to the byte"
  else
    # cmp counts bytes from 1: "A B differ: byte N, line L", or "EOF on A ...".
    byte=$(sed -n 's/.* differ: byte \([0-9]*\),.*/\1/p' <<<"$difference")
    if [ -n "$byte" ]; then
      printf '%s: differs from offset %d (0x%x)\n' "$file" $((byte - 1)) \
        $((byte - 1))
    else
      echo "$file: differs: $difference"
    fi
    status=1
  fi
done < <(cat "$sums"; echo "-  SHA256SUMS")  # and SHA256SUMS itself

if [ $status -eq 0 ]; then
  echo "The rebuild is the same to the byte as $dir."
  rm -rf "$scratch"
else
  echo "The rebuild differs from $dir: it is kept in $rebuilt." >&2
fi
exit $status
