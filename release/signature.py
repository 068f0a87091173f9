#!/usr/bin/python3
"""Usage: release/signature.py check DIR BUILD... | signers EXE...

check: is each exe of DIR its BUILD plus signatures that verify? 0 yes, 1 no, 2 cannot judge."""
import collections, hashlib, os, re, struct, sys
from pathlib import Path

import pefile
from asn1crypto import algos, cms, core, parser
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

from verdict import UNJUDGED, Failure, amount, at, first_difference, run

Layout = collections.namedtuple("Layout", "checksum entry table size end")  # offsets; size 0: none
Signature = collections.namedtuple("Signature", "digest content signed attributes signer_digest"
                                   " algorithm value key subject")  # as read, to be judged
NESTED, INDIRECT_DATA = "1.3.6.1.4.1.311.2.4.1", "1.3.6.1.4.1.311.2.1.4"
EC_KEY = "1.2.840.10045.2.1"  # as signtool names an ECDSA signature: by its key's algorithm
SHORT = {"2.5.4.3": "CN", "2.5.4.7": "L", "2.5.4.8": "ST", "2.5.4.10": "O",  # RFC 4514's names
         "2.5.4.11": "OU", "2.5.4.6": "C", "2.5.4.9": "STREET", "0.9.2342.19200300.100.1.25": "DC"}
STRINGS = {12: "utf-8", 28: "utf-32-be", 30: "utf-16-be"}  # the other strings' bytes: Latin-1

class IndirectData(core.Sequence):  # Authenticode's SpcIndirectDataContent: what, then its digest
    _fields = [("data", core.Any), ("digest", algos.DigestInfo)]
class Attribute(core.Sequence):  # of a name, with a value of any type: it is only shown
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any)]
class Name(core.SequenceOf):
    _child_spec = type("RelativeName", (core.SetOf,), {"_child_spec": Attribute})

def layout(data):
    """The Layout of an exe's bytes; a Failure that says why where they are not an exe's."""
    try:  # IndexError: its header lists fewer data directories than the certificate table's
        header = pefile.PE(data=data, fast_load=True).OPTIONAL_HEADER
        entry = header.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    except (pefile.PEFormatError, IndexError):
        raise Failure("it is not a Windows executable")
    return Layout(header.get_field_absolute_offset("CheckSum"), entry.get_file_offset(),
                  entry.VirtualAddress, entry.Size, entry.VirtualAddress + entry.Size)

def signed_content(data):
    """What the signatures cover: all but the checksum, the table's entry and the table."""
    where = layout(data)
    end = where.table if where.size else len(data)
    return data[:where.checksum] + data[where.checksum + 4:where.entry] + data[where.entry + 8:end]

def certificate_table(data, where):
    """Its one WIN_CERTIFICATE's DER; after it, which no signature covers, only aligning zeros."""
    table = data[where.table:where.end]  # dwLength, wRevision and wCertificateType, then its DER
    length, revision, kind = struct.unpack_from("<IHH", table.ljust(8, b"\0"))
    if (revision, kind) != (0x0200, 2):  # 2.0, PKCS #7
        raise Failure(f"its certificate table's entry is of revision {revision:#06x}, type {kind}")
    try:  # the DER's own length says where it ends
        end = 8 + sum(map(len, parser.parse(table[8:], strict=False)[3:]))
    except ValueError:
        raise Failure(f"its signatures cannot be read: the length at {at(where.table + 8)} runs"
                      " past its certificate table", UNJUDGED)
    rest = table[end:]
    if rest[-end % 8 + 4:-end % 8 + 8] == table[4:8]:  # another WIN_CERTIFICATE's header
        raise Failure("a second entry in its certificate table")
    if len(rest) >= 8 or rest.strip(b"\0"):
        raise Failure(f"{amount(len(rest))} after its signature, in its certificate table")
    if length not in (end, len(table)):  # its signature's end, or the table's
        raise Failure(f"its certificate table's dwLength is {length}, not {end} nor {len(table)}")
    return table[8:end]

def encoding(value):
    """value's bytes as read (asn1crypto's dump() may encode a value again)."""
    return (value._header or b"") + (value.contents or b"") + value._trailer

def algorithm_of(signer):
    """A SignerInfo's signature's form and digest; of RSA-PSS, its mask's digest and salt length."""
    algorithm = signer["signature_algorithm"]
    name = signer["digest_algorithm"]["algorithm"].native  # which a signature algorithm names too
    form = "ecdsa" if algorithm["algorithm"].dotted == EC_KEY else algorithm.signature_algo
    if form != "rsassa_pss":
        return form, name, None, None
    mask, salt = (algorithm["parameters"][part] for part in ("mask_gen_algorithm", "salt_length"))
    if not 0 <= salt.native < 2 ** 16:  # none that a key leaves room for
        raise ValueError(f"a salt of {salt.native} bytes")
    mask = mask["parameters"] if mask["algorithm"].native == "mgf1" else mask  # MGF1's digest
    return form, algorithm.hash_algo, mask["algorithm"].native, salt.native

def key_of(signed_data, sid):
    """The key (read from its bytes alone) and subject of the certificate that sid names."""
    if sid.name != "issuer_and_serial_number":  # Authenticode names its signer by these alone
        raise KeyError(sid.name)
    for choice in signed_data["certificates"] or []:
        tbs = choice.chosen["tbs_certificate"] if choice.name == "certificate" else {}
        names = tbs and encoding(tbs["issuer"].chosen) + encoding(tbs["serial_number"])
        if names == sid.chosen.contents:
            key = serialization.load_der_public_key(encoding(tbs["subject_public_key_info"]))
            return key, subject(tbs["subject"].chosen)
    return None, None

def subject(name):
    """A name as RFC 4514 writes it (CN=...,O=...), in any bytes: it is shown, never judged."""
    return ",".join("+".join(named(each) for each in relative)
                    for relative in reversed(Name.load(encoding(name))))

def named(attribute):
    oid, value = attribute["type"].dotted, attribute["value"]
    text = value.contents.decode(STRINGS.get(encoding(value)[0], "latin-1"), "replace")
    return SHORT.get(oid, oid) + "=" + re.sub(r'[\\"+,;<>]|^[# ]| $', r"\\\g<0>", text)

def signatures(data):
    """Each signature, by index (the primary, then those nested in it), as read: asn1crypto parses
    lazily, so all that is judged is read here, and judged after, where an error is the check's."""
    if not (where := layout(data)).size:
        return []
    pending, found = [(certificate_table(data, where), where.table + 8)], []
    while pending:
        der, offset = pending.pop(0)
        try:  # a KeyError or ValueError: not Authenticode's (of one signer, of its digest)
            info = cms.ContentInfo.load(der, strict=True)
            signed_data = info["content"] if info["content_type"].native == "signed_data" else {}
            (signer,), content = signed_data["signer_infos"], signed_data["encap_content_info"]
            is_indirect = content["content_type"].dotted == INDIRECT_DATA
            indirect = content["content"].parse(IndirectData) if is_indirect else {}
            nested = [encoding(value) for each in signer["unsigned_attrs"] or []
                      if each["type"].dotted == NESTED for value in each["values"]]
            pending += [(each, offset + der.find(each)) for each in nested]
            found.append(Signature(  # the exe's digest, by the signer's digest algorithm
                indirect["digest"]["digest"].native, indirect.contents,  # the value, not its header
                b"\x31" + encoding(signer["signed_attrs"])[1:],  # signed as a SET OF, not as [0]
                [[encoding(value) for each in signer["signed_attrs"] or []
                  if each["type"].native == name for value in each["values"]]
                 for name in ("content_type", "message_digest")],
                signer["digest_algorithm"]["algorithm"].native, algorithm_of(signer),
                signer["signature"].native, *key_of(signed_data, signer["sid"])))
        except (ValueError, TypeError, KeyError, UnsupportedAlgorithm):
            raise Failure(f"its signatures cannot be read: the signature at {at(offset)} is not"
                          " a SignedData of Authenticode's form", UNJUDGED)
    return found

def digest(name):
    """The digest algorithm of that name (sha256), where this check reads it; else unjudged."""
    if name not in ("sha1", "sha256", "sha384", "sha512"):
        raise Failure(f"is in a form this check cannot judge: the digest {name}", UNJUDGED)
    return getattr(hashes, name.upper())()

def judge_signature(signature, code):
    """A Failure that says why a signature is not one of this code that verifies."""
    if signature.digest != hashlib.new(digest(signature.signer_digest).name, code).digest():
        raise Failure("does not sign this code: its digest is another's")
    covered = hashlib.new(digest(signature.signer_digest).name, signature.content).digest()
    if signature.attributes != [[core.ObjectIdentifier(INDIRECT_DATA).dump()],
                                [core.OctetString(covered).dump()]]:
        raise Failure("is corrupt: its signed attributes do not hold SpcIndirectDataContent's"
                      " contentType and messageDigest, once each")
    (form, name, mask, salt), key = signature.algorithm, signature.key
    if key is None:
        raise Failure("does not carry its signer's certificate")
    if form not in ("rsassa_pkcs1v15", "rsassa_pss", "ecdsa"):
        raise Failure(f"is in a form this check cannot judge: the algorithm {form}", UNJUDGED)
    scheme = [ec.ECDSA(digest(name))] if form == "ecdsa" else [padding.PKCS1v15(), digest(name)]
    if form == "rsassa_pss":
        scheme = [padding.PSS(padding.MGF1(digest(mask)), salt), digest(name)]
    try:
        if not isinstance(key, ec.EllipticCurvePublicKey if form == "ecdsa" else rsa.RSAPublicKey):
            raise InvalidSignature("a key of another kind verifies no such signature")
        key.verify(signature.value, signature.signed, *scheme)
    except InvalidSignature:
        raise Failure("is corrupt: its value does not verify with its signer's key")

def signers(data):
    """The subjects (CN=...) of the certificates that the exe's signatures name as their signers."""
    return list(dict.fromkeys(each.subject for each in signatures(data) if each.subject))

def judge(build, path):
    """The signers of the exe at path, where it is the build plus signatures that verify."""
    if not os.path.isfile(path):
        raise Failure("it is not there", UNJUDGED)
    signed = Path(path).read_bytes()
    if not (where := layout(signed)).size:
        raise Failure("it carries no signature")
    if where.end != len(signed):  # past the table, anyone could add anything
        raise Failure(f"its certificate table ends at byte {where.end}, the exe at {len(signed)}")
    try:  # what it is judged against: where that is no exe, nothing can be judged
        ours = signed_content(Path(build).read_bytes())
    except Failure as why:
        raise Failure(f"this build ({build}) cannot be read: {why}", UNJUDGED)
    theirs = signed_content(signed)
    offset = first_difference(ours, theirs)
    aligned = offset == len(ours) > len(theirs) - 8 and not theirs[offset:].strip(b"\0")
    if offset is not None and not aligned:  # but for the zeros that align the table
        for start, size in ((where.checksum, 4), (where.entry, 8)):  # what the content leaves out
            offset += size * (offset >= start)
        raise Failure(f"its code differs from this build's from {at(offset)}")
    for index, signature in enumerate(signatures(signed)):
        try:
            judge_signature(signature, theirs)
        except Failure as why:
            raise Failure(f"its signature {index} {why}", why.status)
    return signers(signed)

def main(arguments):
    command, *names = arguments or [None]
    if command == "signers" and names:
        for exe in names:
            print("".join(f"{each}\n" for each in signers(Path(exe).read_bytes())), end="")
        return 0
    if command != "check" or len(names) < 2:
        raise Failure(__doc__.split("\n\n")[0], UNJUDGED)
    statuses = []
    for build in names[1:]:
        name, path = os.path.basename(build), os.path.join(names[0], os.path.basename(build))
        try:
            signed_by = " and ".join(judge(build, path))
            print(f"{name}: this build, whose signatures verify with the keys of certificates that"
                  f" name {signed_by}; those certificates, their chain and trust, and timestamps"
                  " are Windows' to judge.", file=sys.stderr)
        except Failure as why:
            statuses.append(why.status)
            print(f"Refused: {path} is not this build plus a signature: {why}.", file=sys.stderr)
    return min(statuses, default=0)

if __name__ == "__main__":
    run(main)
