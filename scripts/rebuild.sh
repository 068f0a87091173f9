#!/usr/bin/env bash
# Run after scripts/package.sh: builds the release again from a copy of the
# source tree in a deeper folder, some seconds later, and compares each file
# of SHA256SUMS with the first build's byte for byte. A difference fails,
# naming the file and the first offset at which the two differ.
set -eu
cd "$(dirname "$0")/.."
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
first=build/release
copy=build/rebuild/list-capture-devices
second=$copy/build/release
rm -rf "$copy"
mkdir -p "$copy"
# The tracked files as they stand in the working tree.
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$copy"
# So that any time taken from the clock would show.
sleep 3
bash "$copy/scripts/package.sh" >/dev/null

status=0
while read -r _ file; do
  if ! difference=$(cmp "$first/$file" "$second/$file" 2>&1); then
    # cmp counts bytes from 1: "A B differ: byte N, line L", or "EOF on A ...".
    byte=$(sed -n 's/.* differ: byte \([0-9]*\),.*/\1/p' <<<"$difference")
    if [ -n "$byte" ]; then
      printf '%s differs between the two builds from offset %d (0x%x)\n' \
        "$file" $((byte - 1)) $((byte - 1)) >&2
    else
      echo "$file differs between the two builds: $difference" >&2
    fi
    status=1
  fi
done <"$first/SHA256SUMS"
[ $status -eq 0 ] && echo "Rebuilt in $copy: the same to the byte."
exit $status
