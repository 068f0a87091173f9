# Sourced by the release scripts: what an exe's Authenticode signature covers,
# whether an exe is a build plus a signature, and who signed it. A signature
# and its timestamp cannot be rebuilt, but what they cover can: all of the
# exe but the header's checksum, the header's entry for the certificate
# table, and that table, the signatures themselves.

# pe_number FILE OFFSET SIZE: the little-endian number of SIZE bytes there.
pe_number() { od -An -tu"$3" -j"$2" -N"$3" "$1" | tr -d ' '; }

# signature_table FILE: the offset of the exe's certificate table and its
# size (0 for an exe that carries no signature), and where in the header the
# checksum and the table's entry stand.
signature_table() {
  local header magic entry
  header=$(( $(pe_number "$1" 60 4) + 24 ))   # the optional header
  magic=$(pe_number "$1" "$header" 2)
  # The checksum at 64; the table's entry, the fifth data directory, after
  # the 96 bytes of fields of PE32 (0x10b) or the 112 of PE32+ (0x20b).
  entry=$((header + (magic == 0x20b ? 112 : 96) + 4 * 8))
  echo "$(pe_number "$1" "$entry" 4) $(pe_number "$1" $((entry + 4)) 4)" \
    "$((header + 64)) $entry"
}

# signed_content FILE: the bytes of the exe that its signature covers.
signed_content() {
  local table size checksum entry
  read -r table size checksum entry < <(signature_table "$1")
  [ "$size" -ne 0 ] || table=$(stat -c %s "$1")
  head -c "$checksum" "$1"
  tail -c +$((checksum + 4 + 1)) "$1" | head -c $((entry - checksum - 4))
  tail -c +$((entry + 8 + 1)) "$1" | head -c $((table - entry - 8))
  tail -c +$((table + size + 1)) "$1"
}

# signature_size FILE: the size of the exe's signatures, 0 for none.
signature_size() { signature_table "$1" | cut -d' ' -f2; }

# build_plus_signature BUILD SIGNED: whether SIGNED is BUILD with a signature
# that is intact: the same content, save the zeros that a signer may add to
# align the table (fewer than 8). Says why not, and fails, otherwise.
build_plus_signature() {
  local built signed length extra byte checksum entry offset digests
  if [ "$(signature_size "$2")" = 0 ]; then
    echo "it carries no signature"
    return 1
  fi
  built=$(mktemp)
  signed=$(mktemp)
  signed_content "$1" >"$built"
  signed_content "$2" >"$signed"
  length=$(stat -c %s "$built")
  extra=$(( $(stat -c %s "$signed") - length ))
  byte=$(cmp "$built" "$signed" 2>&1 | sed -n 's/.* differ: byte \([0-9]*\),.*/\1/p')
  # Where no byte differs, the signed content may only add a signer's padding.
  if [ -z "$byte" ] && { [ $extra -lt 0 ] || [ $extra -ge 8 ] ||
     [ -n "$(tail -c +$((length + 1)) "$signed" | tr -d '\0')" ]; }; then
    byte=$(( (extra < 0 ? length + extra : length) + 1 ))
  fi
  rm -f "$built" "$signed"
  if [ -n "$byte" ]; then
    # Where that is in the exe: past the checksum and the entry left out.
    read -r _ _ checksum entry < <(signature_table "$1")
    offset=$((byte - 1))
    [ $offset -lt "$checksum" ] || offset=$((offset + 4))
    [ $offset -lt "$entry" ] || offset=$((offset + 8))
    printf 'its code differs from this build'"'"'s from offset %d (0x%x)\n' $offset $offset
    return 1
  fi
  # The digest that the signature signs must be that of the exe's content.
  digests=$(osslsigncode verify -in "$2" 2>&1 |
    sed -n 's/^\(Current\|Calculated\) message digest *: *\([0-9A-Fa-f]*\).*/\2/p' | sort -u)
  if [ -z "$digests" ] || [ "$(wc -l <<<"$digests")" -ne 1 ]; then
    echo "its signature does not sign its content"
    return 1
  fi
}

# signer EXE: the subject of the certificate that signed the exe, or nothing
# for an exe without a signature.
signer() {
  [ "$(signature_size "$1")" != 0 ] || return 0
  osslsigncode verify -in "$1" 2>/dev/null |
    sed -n '/^Signer.s certificate:/,/Subject:/s/^[[:space:]]*Subject: *//p' | head -n1
}
