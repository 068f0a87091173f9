#!/usr/bin/env bash
# Usage: release/notices.sh VERSION COMPONENTS
# Prints THIRD-PARTY-NOTICES.txt of a release: what of others' code its exes
# contain, from COMPONENTS (what release/components.sh printed), each
# component once: the Debian packages that each exe took it from, what it
# took, the licence, and the copyright notices and licence texts that the
# licence asks to be passed on, as the installed packages' copyright files
# give them (a text that two packages share comes once).
set -eu
version=$1
components=$2
here=$(cd "$(dirname "$0")" && pwd)
# In the order in which components.txt names them.
names=$(sed '/^#/d; /^$/d; s/ *|.*//' "$here/components.txt" | awk '!seen[$0]++')

# terms PACKAGE TERMS: the text of the terms that components.sh found.
terms() {
  local copyright=/usr/share/doc/$1/copyright range
  if [[ $2 == "paragraph "* ]]; then
    # The paragraph less its Files field; then the text of each licence that
    # it names without one, from the file's License paragraph of that name.
    awk -v n="${2#paragraph }" '
      BEGIN { RS = ""; FS = "\n" }
      { paragraph[NR] = $0 }
      END {
        $0 = paragraph[n]
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^[^ \t]/) field = $i
          if (field !~ /^Files:/) print $i
          if ($i ~ /^License:/) { licence = substr($i, 10); texts = 0 }
          else if (field ~ /^License:/) texts++
        }
        if (texts) exit
        gsub(/ (and|or) /, "\n", licence)
        split(licence, names, "\n")
        for (k = 1; k <= NR; k++)
          for (j in names)
            if (index(paragraph[k], "License: " names[j] "\n") == 1) {
              print ""
              print paragraph[k]
              delete names[j]
            }
      }' "$copyright"
  else
    # Ranges /first/,/after/ one after another, "/ /" between them.
    while read -r range; do
      sed -n "${range}p" "$copyright" | sed '$d'
    done <<<"${2//\/ \//$'/\n/'}"
  fi
}

rule=$(printf '=%.0s' {1..76})
echo "Third-party notices of list-capture-devices $version"
echo
echo "list-capture-devices.exe and list-capture-devices-x86.exe are linked" \
  "statically: beside this project's own code, which is under the MIT" \
  "licence in LICENSE, each contains code of others that the build takes" \
  "from Debian's MinGW-w64 packages: $(grep -Fxf <(cut -f7 "$components") \
    <<<"$names" | sed ':a;N;s/\n/; /;ba')." \
  "Each is named below once, with the Debian packages that each exe took it" \
  "from, what it took, and its licence, followed by the copyright notices" \
  "and licence texts that the licence asks to be passed on, as those" \
  "packages' copyright files give them." | fmt -w 76
while read -r name; do
  mine=$(awk -F'\t' -v name="$name" '$7 == name' "$components")
  [ -n "$mine" ] || continue
  echo
  echo "$rule"
  echo "$name"
  echo
  echo "Licence: $(cut -f8 <<<"$mine" | LC_ALL=C sort -u | sed ':a;N;s/\n/ AND /;ba')"
  # The x86-64 exe first.
  cut -f1-3 <<<"$mine" | LC_ALL=C sort -u -t$'\t' -k1,1r -k2,2 |
    while IFS=$'\t' read -r exe package version; do
      echo "In $exe, from Debian's $package $version:" | fold -s -w 76 | sed 's/ $//'
      # Each file with its members, or their number where they are many.
      awk -F'\t' -v exe="$exe" -v package="$package" \
        '$1 == exe && $2 == package { print $5 "\t" $6 }' <<<"$mine" | uniq |
        awk -F'\t' '
          function flush() {
            if (file == "") return
            text = "  " file
            if (n > 20) text = text ": " n " members"
            else if (members != "-") text = text ": " members
            while (length(text) > 76) {
              cut = 76
              while (substr(text, cut, 1) != " ") cut--
              print substr(text, 1, cut - 1)
              text = "      " substr(text, cut + 1)
            }
            print text
          }
          $1 != file { flush(); file = $1; n = 0; members = "" }
          { n++; members = members (members == "" ? "" : ", ") $2 }
          END { flush() }'
    done
  printed=""
  while IFS=$'\t' read -r package place; do
    text=$(terms "$package" "$place")
    digest=$(sha256sum <<<"$text")
    [[ $printed == *"$digest"* ]] && continue
    printed+=$digest
    echo
    echo "$text"
  done < <(cut -f2,9 <<<"$mine" | LC_ALL=C sort -u -t$'\t' -k1,1 -k2,2V)
done <<<"$names"
