#!/usr/bin/python3
"""Usage: release/signature.py check DIR BUILD... | signers EXE...

check refuses, naming it, each exe of DIR that is not the BUILD of its name
plus intact Authenticode signatures (exit 3); signers says who signed each.
"""
import os, re, subprocess, sys

import pefile

def layout(data):
    """Where the checksum and the certificate table's entry stand in the
    header, and the table's offset and size (0 for no signature)."""
    header = pefile.PE(data=data, fast_load=True).OPTIONAL_HEADER
    entry = header.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    return (header.get_field_absolute_offset("CheckSum"), entry.get_file_offset(),
            entry.VirtualAddress, entry.Size)

def signed_content(data):
    """What the signatures cover, which a rebuild gives again: all but the
    checksum, the table's entry and the table (the signatures, nested ones too)."""
    checksum, entry, table, size = layout(data)
    table = table if size else len(data)
    return data[:checksum] + data[checksum + 4:entry] + data[entry + 8:table] + data[table + size:]

def first_difference(one, other):
    """Where they first differ (the shorter's length if it begins the other); None if nowhere."""
    if one != other:
        return next((n for n, (a, b) in enumerate(zip(one, other)) if a != b),
                    min(len(one), len(other)))

def signatures(path):
    """Each signature as osslsigncode reads it, by index: its signer (None
    where not said), and whether the digest that it signs is the content's."""
    found, verified = [], subprocess.run(["osslsigncode", "verify", "-in", path],
                                         capture_output=True, text=True).stdout
    for block in re.split(r"^Signature Index: ", verified, flags=re.M)[1:]:
        digests = re.findall(r"^(?:Current|Calculated) message digest *: *(\w+)", block, re.M)
        signer = re.search(r"^Signer's certificate:\n(?:.*\n)*?\s*Subject: *(.*)", block, re.M)
        found.append((signer and signer[1], len(digests) == 2 and digests[0] == digests[1]))
    return found

def signers(path):
    with open(path, "rb") as data:
        signed = layout(data.read())[3]
    return list(dict.fromkeys(s for s, _ in signatures(path) if s)) if signed else []

def refusal(build, path):
    """Why the exe at path is not the build plus intact signatures, or None."""
    if not os.path.isfile(path):
        return "it is not there"
    with open(build, "rb") as built, open(path, "rb") as signed:
        built, signed = built.read(), signed.read()
    try:
        if not layout(signed)[3]:
            return "it carries no signature"
    except pefile.PEFormatError:
        return "it is not a Windows executable"
    ours, theirs = signed_content(built), signed_content(signed)
    offset = first_difference(ours, theirs)
    padding = offset == len(ours) > len(theirs) - 8 and not theirs[offset:].strip(b"\0")
    if offset is not None and not padding:  # a signer may add up to 7 zeros to align the table
        checksum, entry = layout(built)[:2]
        offset += 4 if offset >= checksum else 0
        offset += 8 if offset >= entry else 0
        return f"its code differs from this build's from offset {offset} (0x{offset:x})"
    found = signatures(path)
    broken = [f"{n}" + (f" (by {signer})" if signer else "")
              for n, (signer, intact) in enumerate(found) if not intact]
    if broken or not found:
        return f"its signature {', '.join(broken)} does not sign its content" if broken else \
            "osslsigncode finds no signature in it"

if __name__ == "__main__":
    command, arguments = sys.argv[1:2], sys.argv[2:]
    if command == ["check"] and len(arguments) > 1:
        refused = False
        for build in arguments[1:]:
            name = os.path.basename(build)
            path = os.path.join(arguments[0], name)
            why = refusal(build, path)
            refused = refused or bool(why)
            print(f"Refused: {path} is not this build plus a signature: {why}." if why else
                  f"{name}: this build, signed by {', '.join(signers(path))}", file=sys.stderr)
        if refused:
            print("Nothing was written.", file=sys.stderr)
            sys.exit(3)
    elif command == ["signers"]:
        print("".join(signer + "\n" for exe in arguments for signer in signers(exe)), end="")
    else:
        sys.exit(__doc__.split("\n\n")[0])
