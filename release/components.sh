#!/usr/bin/env bash
# Usage: release/components.sh MAP...
# Prints what of others' code each exe contains, from the link map that the
# linker wrote beside it (NAME.map for NAME.exe): every object and archive
# member that its link took from outside the build tree, one line each,
# tab-separated, sorted:
#   exe, package, version, architecture, linked file, member (its name less
#   the build's prefix and ".o"; - for an object linked whole), component,
#   licence (SPDX), terms: "paragraph N" of the package's copyright file, or
#   the sed ranges of that file that state them.
# The package is the installed Debian package that ships the file, the terms
# come from its copyright file through release/components.txt. A file that no
# package ships, or a member that no row of components.txt names, fails it,
# named: nothing ships without its notice.
set -eu
# Patterns are matched with [[ == ]] (extglob), never against file names.
shopt -s extglob
set -f
here=$(cd "$(dirname "$0")" && pwd)

# Debian's licence names as SPDX expressions: "A and B" is "A AND B"; a name
# that SPDX does not list becomes a LicenseRef-.
spdx() {
  local name expression="" joiner=""
  for name in $(sed 's/ and / AND /g; s/ or / OR /g' <<<"$1"); do
    case $name in
      AND|OR) joiner=" $name "; continue ;;
      expat) name=MIT ;;
      BSD-[23]-clause) name=${name%clause}Clause ;;
      ISC|MIT|ZPL-2.1|Zlib) ;;
      *) name=LicenseRef-${name//[^A-Za-z0-9.-]/-} ;;
    esac
    expression+=${joiner}${name}
    joiner=" AND "
  done
  echo "$expression"
}

# dep5 COPYRIGHT PATH MEMBER: the paragraph of a machine-readable copyright
# file that covers PATH (the last Files paragraph that matches, as the format
# has it): its number, counting paragraphs from 1, and its License. Or, where
# a paragraph names a file of the member's name elsewhere (whose source the
# member may be), "elsewhere" and that file; nothing where none matches.
dep5() {
  awk -v path="$2" -v member="$3" '
    function regex(glob) {
      gsub(/[][.+^$(){}|\\]/, "\\\\&", glob)
      gsub(/\*/, ".*", glob)
      gsub(/\?/, ".", glob)
      return "^" glob "$"
    }
    BEGIN { RS = ""; FS = "\n" }
    $1 ~ /^Files:/ {
      files = ""; licence = ""
      for (i = 1; i <= NF; i++) {
        if ($i ~ /^[^ \t]/) { field = $i; sub(/:.*/, "", field); sub(/^[^:]*: */, "", $i) }
        if (field == "Files") files = files " " $i
        else if (field == "License" && licence == "") licence = $i
      }
      n = split(files, globs, /[ \t]+/)
      for (j = 1; j <= n; j++) {
        base = globs[j]; sub(/.*\//, "", base)
        if (globs[j] == "") continue
        else if (path ~ regex(globs[j])) found = NR "\t" licence
        else if (base !~ /[*?]/ && index(base, member ".") == 1) elsewhere = globs[j]
      }
    }
    END { print elsewhere != "" ? "elsewhere\t" elsewhere : found }' "$1"
}

rows=$(sed '/^#/d; /^$/d; s/ *| */|/g' "$here/components.txt")
records=$(mktemp)
trap 'rm -f "$records"' EXIT
declare -A real package_of found_in
status=0
for map in "$@"; do
  exe=$(basename "$map" .map).exe
  build=$(cd "$(dirname "$map")" && pwd)
  while read -r file member; do
    [ -n "${real[$build $file]:-}" ] ||
      real[$build $file]=$(cd "$build" && realpath -m "$file")
    file=${real[$build $file]}
    case $file in "$build"/*) continue ;; esac   # this project's own
    if [ -z "${package_of[$file]:-}" ]; then
      if ! package=$(dpkg -S "$file" 2>/dev/null); then
        echo "$exe links $file, which no installed Debian package ships:" \
          "its terms cannot be found." >&2
        status=1
        continue
      fi
      package=${package%%:*}
      package_of[$file]="$package	$(dpkg-query -W -f='${Version}	${Architecture}' "$package")"
    fi
    package=${package_of[$file]%%	*}
    name=${file##*/}
    stem=${member%.o}
    stem=${stem#lib@(32|64)_*_a-}
    stem=${stem#*_la-}
    component=""
    while IFS='|' read -r row_component files members row_terms; do
      for pattern in $files; do
        [[ $name == $pattern ]] || continue
        for pattern in $members; do
          [[ $stem == $pattern ]] && { component=$row_component terms=$row_terms; break 3; }
        done
      done
    done <<<"$rows"
    linked="$exe links $name($member), of $package"
    if [ -z "$component" ]; then
      echo "$linked, which no row of release/components.txt names: say" \
        "there where its source stands, so that its terms are found." >&2
      status=1
      continue
    fi
    record="$exe	${package_of[$file]}	$name	$stem	$component"
    if [[ $terms == *" /"* ]]; then
      # A copyright file with no Files paragraphs: the row says which parts.
      echo "$record	${terms%% /*}	/${terms#* /}" >>"$records"
      continue
    fi
    # The member's source, and the headers compiled into it that have
    # terms of their own.
    for source in ${terms//%/$stem}; do
      key="$package $source $stem"
      [ -n "${found_in[$key]:-}" ] ||
        found_in[$key]="$(dep5 "/usr/share/doc/$package/copyright" "$source" "$stem")."
      found=${found_in[$key]%.}
      case $found in
        elsewhere*)
          echo "$linked: its copyright file has terms for ${found#*	}, which" \
            "may be its source, not $source: say in release/components.txt" \
            "which it is." >&2
          status=1 ;;
        "")
          echo "$linked: no Files paragraph of its copyright file covers" \
            "$source." >&2
          status=1 ;;
        *) echo "$record	$(spdx "${found#*	}")	paragraph ${found%%	*}" >>"$records" ;;
      esac
    done
  done < <(
    # The map's first section names each archive member that the link took,
    # at the start of a line; then come the objects that it loaded whole.
    sed -n '1,/^Discarded input sections/s/^\([^ ]*[.]a\)(\([^)]*\)).*/\1 \2/p' "$map"
    sed -n 's/^LOAD \([^ ]*[.]o\)$/\1 -/p' "$map")
done
[ $status -eq 0 ] || exit $status
LC_ALL=C sort -u "$records"
