#!/usr/bin/python3
"""Usage: release/signature.py check DIR BUILD... | signers EXE...

check refuses, naming it, each exe of DIR that is not the BUILD of its name
plus intact Authenticode signatures (exit 3); signers says who signed each.
A signature, a nested one too, is intact where the digest that it signs is
the exe's content's and its value verifies, with the key of the signer's
certificate that it carries, over what it signs. Whether that certificate is
to be trusted is Windows' to judge.
"""
import collections, hashlib, os, struct, sys

import pefile
from asn1crypto import algos, cms
from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding

# Where the header's checksum and its entry for the certificate table stand,
# and the table's offset and size (0 for an exe without a signature).
Layout = collections.namedtuple("Layout", "checksum entry table size")
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"  # an unsigned attribute of the signature before it

def layout(data):
    """The Layout of an exe's bytes; a ValueError that says why where they are not an exe's."""
    try:
        header = pefile.PE(data=data, fast_load=True).OPTIONAL_HEADER
    except pefile.PEFormatError:
        raise ValueError("it is not a Windows executable")
    entry = header.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    where = Layout(header.get_field_absolute_offset("CheckSum"), entry.get_file_offset(),
                   entry.VirtualAddress, entry.Size)
    if where.table + where.size > len(data):
        raise ValueError("it is cut short: its signatures would end past its end")
    return where

def signed_content(data):
    """What the signatures cover, which a rebuild gives again: all but the
    checksum, the table's entry and the table (the signatures, nested ones too)."""
    where = layout(data)
    end = where.table if where.size else len(data)
    return (data[:where.checksum] + data[where.checksum + 4:where.entry]
            + data[where.entry + 8:end] + data[end + where.size:])

def first_difference(one, other):
    """Where they first differ (the shorter's length if it begins the other); None if nowhere."""
    if one == other:
        return None
    for offset, (a, b) in enumerate(zip(one, other)):
        if a != b:
            return offset
    return min(len(one), len(other))

def pkcs7_signatures(data, where):
    """Each signature of the exe, by index, as asn1crypto's SignedData and SignerInfo:
    the primary one, then those nested in it; a ValueError where they cannot be read."""
    found = []
    try:
        length = struct.unpack_from("<I", data, where.table)[0]  # WIN_CERTIFICATE's, then PKCS#7
        pending = [cms.ContentInfo.load(data[where.table + 8:where.table + length])]
        while pending:
            signed_data = pending.pop(0)["content"]
            for signer in signed_data["signer_infos"]:
                found.append((signed_data, signer))
                if not signer["unsigned_attrs"].contents:  # none at all
                    continue
                for attribute in signer["unsigned_attrs"]:
                    if attribute["type"].dotted == NESTED_SIGNATURE:
                        pending.extend(attribute["values"])
    except (ValueError, TypeError, KeyError, struct.error):
        raise ValueError("its signatures cannot be read")
    return found

def signer_certificate(signed_data, signer):
    """The certificate, of those that the signature carries, that names its signer; or None."""
    named = signer["sid"].chosen  # Authenticode's is an IssuerAndSerialNumber
    for certificate in signed_data["certificates"]:
        if (certificate.chosen.issuer == named["issuer"]
                and certificate.chosen.serial_number == named["serial_number"].native):
            return x509.load_der_x509_certificate(certificate.chosen.dump())
    return None

def fault(content, signed_data, signer):
    """What is wrong with a signature of an exe whose signed content is content; None where
    it is intact."""
    # Authenticode's SpcIndirectDataContent: what it is, then the exe's DigestInfo.
    indirect = signed_data["encap_content_info"]["content"].parsed
    exe_digest = algos.DigestInfo.load(indirect[1].dump())
    algorithm = exe_digest["digest_algorithm"]["algorithm"].native  # "sha256"
    if exe_digest["digest"].native != hashlib.new(algorithm, content).digest():
        return "does not sign its content"
    # What is signed: the digest of SpcIndirectDataContent's value (less its tag and length).
    algorithm = signer["digest_algorithm"]["algorithm"].native
    digests = [attribute["values"][0].native for attribute in signer["signed_attrs"]
               if attribute["type"].native == "message_digest"]
    certificate = signer_certificate(signed_data, signer)
    if digests != [hashlib.new(algorithm, indirect.contents).digest()] or not certificate:
        return "is corrupt: it does not sign what it holds"
    key = certificate.public_key()
    signed = b"\x31" + signer["signed_attrs"].dump()[1:]  # signed as a SET OF, not as its [0]
    digest = getattr(hashes, algorithm.upper())()
    try:
        if isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(signer["signature"].native, signed, ec.ECDSA(digest))
        else:
            key.verify(signer["signature"].native, signed, padding.PKCS1v15(), digest)
    except InvalidSignature:
        return "is corrupt: its value does not verify with its signer's certificate"
    return None

def signers(data):
    """The subjects of those who signed the exe of bytes data (CN=...), each once; a ValueError
    that says why where it is not an exe."""
    subjects = []
    where = layout(data)
    if not where.size:
        return subjects
    for signed_data, signer in pkcs7_signatures(data, where):
        certificate = signer_certificate(signed_data, signer)
        if certificate:
            subjects.append(certificate.subject.rfc4514_string())
    return list(dict.fromkeys(subjects))

def refusal(build, path):
    """Why the exe at path is not the build plus intact signatures; None where it is."""
    if not os.path.isfile(path):
        return "it is not there"
    with open(build, "rb") as built, open(path, "rb") as signed:
        built, signed = built.read(), signed.read()
    try:
        where = layout(signed)
    except ValueError as why:
        return str(why)
    if not where.size:
        return "it carries no signature"
    ours, theirs = signed_content(built), signed_content(signed)
    offset = first_difference(ours, theirs)
    # A signer may add up to 7 zeros to align the table.
    padding_only = offset == len(ours) > len(theirs) - 8 and not theirs[offset:].strip(b"\0")
    if offset is not None and not padding_only:
        # As an offset in the exe, counting what the content leaves out before it.
        built_layout = layout(built)
        if offset >= built_layout.checksum:
            offset += 4
        if offset >= built_layout.entry:
            offset += 8
        return f"its code differs from this build's from offset {offset} (0x{offset:x})"
    faults = []
    try:
        for index, (signed_data, signer) in enumerate(pkcs7_signatures(signed, where)):
            why = fault(theirs, signed_data, signer)
            if why:
                faults.append(f"its signature {index} {why}")
    except (ValueError, TypeError, KeyError, struct.error):
        return "its signatures cannot be read"
    if faults:
        return "; ".join(faults)
    return None

def check(directory, builds):
    """Says of each build whether DIR's exe of its name is it plus intact signatures;
    exits 3 where any is not."""
    refused = False
    for build in builds:
        name = os.path.basename(build)
        path = os.path.join(directory, name)
        why = refusal(build, path)
        if why:
            refused = True
            print(f"Refused: {path} is not this build plus a signature: {why}.", file=sys.stderr)
        else:
            with open(path, "rb") as data:
                print(f"{name}: this build, signed by {', '.join(signers(data.read()))}",
                      file=sys.stderr)
    if refused:
        print("Nothing was written.", file=sys.stderr)
        sys.exit(3)

if __name__ == "__main__":
    command, arguments = sys.argv[1:2], sys.argv[2:]
    try:
        if command == ["check"] and len(arguments) > 1:
            check(arguments[0], arguments[1:])
        elif command == ["signers"]:
            for exe in arguments:
                with open(exe, "rb") as data:
                    data = data.read()
                try:
                    subjects = signers(data)
                except ValueError as why:
                    sys.exit(f"{exe}: {why}.")
                for subject in subjects:
                    print(subject)
        else:
            sys.exit(__doc__.split("\n\n")[0])
    except OSError as error:
        sys.exit(f"release/signature.py: {error}")
