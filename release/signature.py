#!/usr/bin/python3
"""Usage: release/signature.py check DIR BUILD... | signers EXE...

check says whether each exe of DIR is the BUILD of its name plus intact Authenticode signatures
(exit 0), is refused (1) or cannot be judged (2); signers, whom they name as signers. Whether to
trust those is Windows' to judge (docs/release-tooling.md, "Signature rules").
"""
import collections, hashlib, os, struct, sys
from pathlib import Path

import pefile
from asn1crypto import algos, cms, core, parser, tsp
from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding

from verdict import UNJUDGED, Failure, amount, at, first_difference

# Where the checksum and the certificate table's entry stand; the table's bounds and size (0: none).
Layout = collections.namedtuple("Layout", "checksum entry table size end")
# The unsigned attributes that Authenticode defines, which no signature covers: a signature nested
# in the one before it, and its timestamps, an RFC 3161 token or a legacy PKCS #9 countersignature.
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
TIMESTAMP, COUNTERSIGNATURE = "1.3.6.1.4.1.311.3.3.1", "1.2.840.113549.1.9.6"
INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"  # SpcIndirectDataContent: the exe's digest
TST_INFO, DATA = "1.2.840.113549.1.9.16.1.4", "1.2.840.113549.1.7.1"  # what timestamps sign
DIGESTS = ("sha1", "sha256", "sha384", "sha512")  # as cryptography's hashes.SHA1 ... SHA512
UNREADABLE = "its signatures cannot be read"

# Authenticode's SpcIndirectDataContent (what the exe is, then its DigestInfo), and its signed
# attributes SpcSpOpusInfo (signtool's /d and /du) and SpcStatementType. The name and link are
# shown, not read: in any bytes (osslsigncode puts UTF-8 in an IA5String).
class IndirectData(core.Sequence):
    _fields = [("data", core.Any), ("digest", algos.DigestInfo)]
class SpcString(core.Choice):
    _alternatives = [("unicode", core.OctetString, {"implicit": 0}),
                     ("ascii", core.OctetString, {"implicit": 1})]
class SpcSerializedObject(core.Sequence):
    _fields = [("class_id", core.OctetString), ("data", core.OctetString)]
class SpcLink(core.Choice):
    _alternatives = [("url", core.OctetString, {"implicit": 0}), ("moniker", SpcSerializedObject,
                     {"implicit": 1}), ("file", SpcString, {"explicit": 2})]
class OpusInfo(core.Sequence):
    _fields = [("program_name", SpcString, {"explicit": 0, "optional": True}),
               ("more_info", SpcLink, {"explicit": 1, "optional": True})]
class StatementType(core.SequenceOf):
    _child_spec = core.ObjectIdentifier

# What the contents and attributes that asn1crypto leaves as bytes hold, by their type's OID.
SCHEMAS = {INDIRECT_DATA: IndirectData, TST_INFO: tsp.TSTInfo, "1.3.6.1.4.1.311.2.1.12": OpusInfo,
           "1.3.6.1.4.1.311.2.1.11": StatementType}

def layout(data):
    """The Layout of an exe's bytes; a Failure that says why where they are not an exe's."""
    try:
        header = pefile.PE(data=data, fast_load=True).OPTIONAL_HEADER
    except pefile.PEFormatError:
        raise Failure("it is not a Windows executable")
    count = len(header.DATA_DIRECTORY)  # as NumberOfRvaAndSizes says; the table's is the 5th
    if count < 5:
        raise Failure(f"its header lists {count} data directories, none for its certificate table")
    entry = header.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    where = Layout(header.get_field_absolute_offset("CheckSum"), entry.get_file_offset(),
                   entry.VirtualAddress, entry.Size, entry.VirtualAddress + entry.Size)
    if where.end > len(data):
        raise Failure("it is cut short: its signatures would end past its end")
    return where

def signed_content(data):
    """What the signatures cover: all but the checksum, the table's entry and the table."""
    where = layout(data)
    end = where.table if where.size else len(data)
    return data[:where.checksum] + data[where.checksum + 4:where.entry] + data[where.entry + 8:end]

def certificate_table(data, where):
    """The PKCS#7 (DER) of the exe's one WIN_CERTIFICATE, up to 7 zeros after it; else a Failure."""
    table = data[where.table:where.end]
    if len(table) < 8:
        raise Failure(f"{UNREADABLE}: its certificate table is cut short, at {amount(len(table))}")
    length, revision, kind = struct.unpack_from("<IHH", table)  # dwLength, wRevision, its type
    try:  # The DER's own length says where it ends; dwLength must hold it.
        _, _, _, header, contents, _ = parser.parse(table[8:], strict=False)
    except ValueError:
        raise Failure(f"{UNREADABLE}: the length of its PKCS#7 runs past its certificate table")
    end = 8 + len(header) + len(contents)
    after = table[end:]
    if revision != 0x0200:
        raise Failure(f"its certificate table's entry is of revision 0x{revision:04x}, not 2.0")
    if kind != 2:
        raise Failure(f"its certificate table's entry is of type {kind}, not PKCS#7 (2)")
    if length > len(table):
        raise Failure(f"its certificate table's entry says it is {length} bytes long, longer than"
                      f" the table ({len(table)} bytes)")
    if len(after) >= 8 or after.strip(b"\0"):
        rest = table[(length + 7) // 8 * 8:]  # entries are aligned to 8 bytes
        if len(rest) >= 8 and 8 <= struct.unpack_from("<I", rest)[0] <= len(rest):
            raise Failure("a second entry in its certificate table")
        if not after[:-end % 8].strip(b"\0"):  # the zeros that align it are not counted
            after = after[-end % 8:]
        raise Failure(f"{amount(len(after))} after its signature, in its certificate table, where"
                      " only up to 7 zeros may align it")
    if length not in (end, len(table)):
        raise Failure(f"its certificate table's entry ends at byte {length}, neither where its"
                      f" signature does ({end}) nor where the table does ({len(table)})")
    return table[8:end]

def encoding(value):
    """value's bytes as read. asn1crypto's dump() parses an Any, and encodes again a value of a
    length whose last byte is 0x80 (30 82 01 80), as if of an indefinite one."""
    if isinstance(value, core.Choice):
        return value._header + encoding(value.chosen)
    return (value._header or b"") + (value.contents or b"") + value._trailer

def definite(der, offset):
    """A Failure where a value in der (at offset in the exe) is of indefinite length or overruns."""
    pending = [(der, offset)]  # runs of values, each where it starts
    while pending:
        run, start = pending.pop()
        try:
            _, constructed, _, header, contents, trailer = parser.parse(run)
        except ValueError:
            raise Failure(f"{UNREADABLE}: the length at {at(start)} runs past its end")
        if trailer:
            raise Failure(f"{UNREADABLE}: the value at {at(start)} is of indefinite length")
        if constructed and contents:
            pending.append((contents, start + len(header)))
        size = len(header) + len(contents)
        if run[size:]:  # values after it in its run
            pending.append((run[size:], start + size))

def parts(value, offset):
    """The parts of value (at offset in the exe) as its schema reads them, with their offsets; a
    Failure where its bytes hold more. A certificate's own are its issuer's signature's to judge."""
    if isinstance(value, cms.CertificateChoices) and value.name != "certificate":
        raise Failure(f"its signatures are in a form this check cannot judge: a certificate at"
                      f" {at(offset)} of the kind {value.name}", UNJUDGED)
    start = offset + len(value._header or b"")
    if isinstance(value, core.Choice):
        return [(value.chosen, start)]
    if isinstance(value, (core.Any, core.ParsableOctetString)):  # bytes, but what SCHEMAS reads
        if not value._parsed:
            return []
        children = [value._parsed[0]]
    elif isinstance(value, cms.Certificate):  # all read, strictly, as Windows and this check do
        subject(value), value.subject.hashable, value.issuer.hashable, value.key_identifier
        outer, signed = value["signature_algorithm"], value["tbs_certificate"]["signature"]
        if encoding(outer) != encoding(signed):  # as X.509 has it: else bytes that none covers
            raise Failure(f"its certificate {subject(value)} names a signatureAlgorithm its issuer"
                          " did not sign")
        return []
    elif isinstance(value, core.Sequence):
        if isinstance(value, (cms.ContentInfo, cms.EncapsulatedContentInfo, cms.CMSAttribute)):
            kind, content = value[value._fields[0][0]].dotted, value[value._fields[1][0]]
            for each in content if isinstance(content, core.SequenceOf) else [content]:
                if kind in SCHEMAS and not isinstance(each, core.Void):
                    each.parse(SCHEMAS[kind])
        children = [value[name] for name, *_ in value._fields]
    elif isinstance(value, core.SequenceOf):
        children = list(value)
    else:  # a primitive: its value read, as of its type
        value.native
        return []
    found, read = [], 0
    for child in children:  # each in the order of its schema; a default left out is not there
        if encoding(child) and value.contents.startswith(encoding(child), read):
            found.append((child, start + read))
            read += len(encoding(child))
    if read != len(value.contents or b""):
        raise Failure(f"{UNREADABLE}: {amount(len(value.contents) - read)} at {at(start + read)}"
                      f" that its {type(value).__name__} does not read")
    return found

def signatures(data, where):
    """Each signature's SignedData by index (the primary, then nested ones), read to its end."""
    der, offset = certificate_table(data, where), where.table + 8
    definite(der, offset)
    value, pending, found = cms.ContentInfo(), [], []
    try:  # asn1crypto's and cryptography's errors, on what they parse
        pending = [(cms.ContentInfo.load(der, strict=True), offset)]
        found.append(pending[0][0])  # its ContentInfo, then each nested in it
        while pending:
            value, offset = pending.pop(0)  # breadth first: nested signatures by index
            pending.extend(parts(value, offset))
            if isinstance(value, cms.CMSAttribute) and value["type"].dotted == NESTED_SIGNATURE:
                found.extend(value["values"])
    except (ValueError, KeyError, x509.InvalidVersion):  # KeyError: a name of an unknown kind
        raise Failure(f"{UNREADABLE}: the {type(value).__name__} at {at(offset)} is not of the"
                      " form that its schema reads")
    if any(each["content_type"].native != "signed_data" for each in found):
        raise Failure(f"{UNREADABLE}: one is not a SignedData")
    return [each["content"] for each in found]

def signer_certificate(signed_data, signer):
    """The certificate, of those that the signature carries, that names its signer; or None."""
    named = signer["sid"]  # by issuer and serial number, or by subjectKeyIdentifier
    for choice in signed_data["certificates"] or []:
        certificate = choice.chosen
        if named.name == "issuer_and_serial_number":
            if (certificate.issuer == named.chosen["issuer"]
                    and certificate.serial_number == named.chosen["serial_number"].native):
                return certificate
        elif certificate.key_identifier == named.chosen.native:
            return certificate

def subject(certificate):
    """Its subject, as Windows shows it: CN=..."""
    return x509.load_der_x509_certificate(encoding(certificate)).subject.rfc4514_string()

def unjudged(form):
    return Failure(f"is in a form this check cannot judge: {form}", UNJUDGED)

def digest(name):
    """The digest algorithm of that name (sha256), where this check reads it; else unjudged."""
    if name not in DIGESTS:
        raise unjudged(f"the digest {name}")
    return getattr(hashes, name.upper())()

def attribute(signer, name):
    """The one value of a signed attribute; None where it is not there once, with one value."""
    values = [each["values"] for each in signer["signed_attrs"] if each["type"].native == name]
    return values[0][0] if len(values) == 1 and len(values[0]) == 1 else None

def verifies(certificate, algorithm, name, value, signed):
    """Whether value, signed by algorithm (by the digest name where it names none), verifies with
    the certificate's key; unjudged where by another form than RSA, RSA-PSS or ECDSA."""
    try:  # asn1crypto's errors and cryptography's, on a key that they cannot read
        kind = certificate.public_key.algorithm  # rsa, ec, dsa, ed25519, ...
        key = x509.load_der_x509_certificate(encoding(certificate)).public_key()
    except (KeyError, TypeError, ValueError, UnsupportedAlgorithm):
        raise unjudged("a key that it cannot read")
    try:
        form = algorithm.signature_algo  # rsassa_pkcs1v15, rsassa_pss, ecdsa, dsa, ...
        if algorithm["algorithm"].native not in ("rsassa_pkcs1v15", "ecdsa"):  # sha256_rsa, ...
            name = algorithm.hash_algo  # rather than the signer's, for those that name one
    except ValueError:
        raise unjudged(f"the signature algorithm {algorithm['algorithm'].native}")
    if kind not in ("rsa", "ec") or form not in ("rsassa_pkcs1v15", "rsassa_pss", "ecdsa"):
        raise unjudged(f"the signature algorithm {form} with a key of type {kind}")
    if (kind == "ec") != (form == "ecdsa"):  # a key of one kind verifies no signature of the other
        return False
    try:
        if form == "ecdsa":
            key.verify(value, signed, ec.ECDSA(digest(name)))
        elif form == "rsassa_pkcs1v15":
            key.verify(value, signed, padding.PKCS1v15(), digest(name))
        else:  # RSA-PSS, as its parameters say: the hash, the mask's and the salt's length
            pss = algorithm["parameters"]
            mask, trailer = pss["mask_gen_algorithm"], pss["trailer_field"].native
            if mask["algorithm"].native != "mgf1" or trailer != "trailer_field_bc":
                raise unjudged(f"an RSA-PSS signature with the mask {mask['algorithm'].native}")
            mgf = padding.MGF1(digest(mask["parameters"]["algorithm"].native))
            key.verify(value, signed, padding.PSS(mgf, pss["salt_length"].native), digest(name))
    except (InvalidSignature, OverflowError):  # OverflowError: a salt longer than any key's
        return False
    return True

def issued(certificate, issuer):
    """Whether issuer issued certificate: it names issuer's subject, and its key verifies it."""
    return certificate.issuer == issuer.subject and verifies(issuer, certificate[
        "signature_algorithm"], None, certificate["signature_value"].native,
        encoding(certificate["tbs_certificate"]))

def judge_chain(signed_data, signer):
    """A Failure where a carried certificate does not verify with its issuer's or is on no chain."""
    rest = [each.chosen for each in signed_data["certificates"] or []]  # those on no chain yet
    for certificate in rest:
        issuers = [each for each in rest if each.subject == certificate.issuer]
        if issuers and not any(issued(certificate, each) for each in issuers):
            raise Failure(f"is corrupt: its certificate {subject(certificate)} does not verify with"
                          f" its issuer's key ({subject(issuers[0])})")
    countersigners = [value for each in signer["unsigned_attrs"] or []
                      if each["type"].dotted == COUNTERSIGNATURE for value in each["values"]]
    chain = [signer_certificate(signed_data, each) for each in [signer] + countersigners]
    for _ in range(len(rest)):  # each pass adds the issuers of those that the one before added
        on = [each for each in rest if any(encoding(each) == encoding(one) or issued(one, each)
                                           for one in chain)]
        chain, rest = chain + on, [each for each in rest if each not in on]
    if rest:
        raise Failure(f"carries a certificate on no signer's chain: {subject(rest[0])}")

def judge_signer(signed_data, signer, kind, name, content, unsigned={}, chained=True):
    """A Failure that says what is wrong with signer's signature over content of the type kind
    (named name), its unsigned attributes (by unsigned's judges) or, if chained, certificates."""
    if not signer["signed_attrs"]:
        raise Failure("has no signed attributes")
    algorithm = digest(signer["digest_algorithm"]["algorithm"].native).name  # sha256
    if getattr(attribute(signer, "content_type"), "dotted", None) != kind:
        raise Failure(f"does not name {name} as what it signs (its contentType)")
    if not (message_digest := attribute(signer, "message_digest")):
        raise Failure("does not have one messageDigest among its signed attributes")
    if message_digest.native != hashlib.new(algorithm, content).digest():
        raise Failure("is corrupt: its messageDigest is not that of what it holds")
    if not (certificate := signer_certificate(signed_data, signer)):
        raise Failure("does not carry its signer's certificate")
    signed = b"\x31" + encoding(signer["signed_attrs"])[1:]  # signed as a SET OF, not as its [0]
    if not verifies(certificate, signer["signature_algorithm"], algorithm,
                    signer["signature"].native, signed):
        raise Failure("is corrupt: its value does not verify with its signer's certificate")
    for each in signer["unsigned_attrs"] or []:
        oid, values = each["type"].dotted, each["values"]
        if oid not in unsigned or not values:
            size = amount(sum(len(encoding(value)) for value in values))
            raise Failure(f"carries {size} that no signature covers (an unsigned attribute {oid})")
        for value in values:
            try:
                unsigned[oid](signed_data, signer, value)
            except Failure as why:  # a timestamp's: "'s timestamp is corrupt"
                raise Failure(f"'s timestamp {why}", why.status)
    if chained:
        judge_chain(signed_data, signer)

def judge_form(signed_data, kind, name, versions):
    """signed_data's one signer, if it holds kind (named name) in versions (its, its signer's)."""
    encapsulated = signed_data["encap_content_info"]
    if encapsulated["content_type"].dotted != kind:
        raise Failure(f"does not hold {name}")
    if isinstance(encapsulated["content"], core.Void):
        raise Failure(f"holds no content, so not {name}")
    if crls := encoding(signed_data["crls"]):  # no signer writes any: revocation is Windows'
        raise Failure(f"carries {amount(len(crls))} that no signature covers (its crls)")
    if len(signed_data["signer_infos"]) != 1:
        raise Failure(f"has {len(signed_data['signer_infos'])} signers, not one")
    signer = signed_data["signer_infos"][0]
    algorithm = digest(signer["digest_algorithm"]["algorithm"].native).name  # before the versions
    found = [each["version"].native for each in (signed_data, signer)]  # v1; a number if unnamed
    if tuple(found) not in versions:
        said = " and ".join(each if isinstance(each, str) else "unknown" for each in found)
        raise Failure(f"is of the versions {said}, not {versions[0][0]} and v1 or v3")
    if [each["algorithm"].native for each in signed_data["digest_algorithms"]] != [algorithm]:
        raise Failure("does not list its signer's digest algorithm alone in its digestAlgorithms")
    return signer

def judge_token(signed_data, signer, value):
    """A Failure where an RFC 3161 timestamp (value) is not a sound one of signer's value."""
    if value["content_type"].native != "signed_data":
        raise Failure("is not a SignedData")
    token = value["content"]  # a SignedData of a TSTInfo
    one = judge_form(token, TST_INFO, "a TSTInfo", [("v3", "v1"), ("v3", "v3")])
    info = token["encap_content_info"]["content"]
    imprint = info.parsed["message_imprint"]
    algorithm = digest(imprint["hash_algorithm"]["algorithm"].native).name
    if imprint["hashed_message"].native != hashlib.new(algorithm, signer["signature"].native
                                                       ).digest():
        raise Failure("is corrupt: its imprint is not the digest of the value that it stamps")
    judge_signer(token, one, TST_INFO, "TSTInfo", info.contents)

# Their judges: a nested signature is judged as the others are; a countersignature signs data.
UNSIGNED = {NESTED_SIGNATURE: lambda signed_data, signer, value: None, TIMESTAMP: judge_token,
            COUNTERSIGNATURE: lambda signed_data, signer, value: judge_signer(
                signed_data, value, DATA, "data", signer["signature"].native, chained=False)}

def judge_signature(content, signed_data):
    """A Failure that says what is wrong with a signature (SignedData) of the exe's content."""
    signer = judge_form(signed_data, INDIRECT_DATA, "the exe's digest (an SpcIndirectDataContent)",
                        [("v1", "v1"), ("v1", "v3")])  # v3: a signer named by key identifier
    indirect = signed_data["encap_content_info"]["content"].parsed
    algorithm = digest(indirect["digest"]["digest_algorithm"]["algorithm"].native).name
    if indirect["digest"]["digest"].native != hashlib.new(algorithm, content).digest():
        raise Failure("does not sign its content")
    # What is signed: the digest of SpcIndirectDataContent's value (less its tag and length).
    judge_signer(signed_data, signer, INDIRECT_DATA, "SpcIndirectDataContent", indirect.contents,
                 UNSIGNED)

def signers(data):
    """The subjects (CN=...) of the certificates that the exe's signatures carry for signers."""
    if not (where := layout(data)).size:
        return []
    found = [signer_certificate(signed_data, signer) for signed_data in signatures(data, where)
             for signer in signed_data["signer_infos"]]
    return list(dict.fromkeys(subject(each) for each in found if each))

def judge(build, path):
    """The signers of the exe at path, where it is the build plus intact signatures."""
    if not os.path.isfile(path):
        raise Failure("it is not there", UNJUDGED)
    built, signed = Path(build).read_bytes(), Path(path).read_bytes()
    where = layout(signed)
    if not where.size:
        raise Failure("it carries no signature")
    if where.end < len(signed):
        raise Failure(f"{amount(len(signed) - where.end)} after its certificate table")
    try:  # what it is judged against: where that is no exe, nothing can be judged
        ours = signed_content(built)
    except Failure as why:
        raise Failure(f"this build ({build}) cannot be read: {why}", UNJUDGED)
    theirs = signed_content(signed)
    offset = first_difference(ours, theirs)
    # A signer may add up to 7 zeros to align the table.
    padding_only = offset == len(ours) > len(theirs) - 8 and not theirs[offset:].strip(b"\0")
    if offset is not None and not padding_only:
        # As an offset in the exe, counting what the content leaves out before it.
        for start, size in ((layout(built).checksum, 4), (layout(built).entry, 8)):
            if offset >= start:
                offset += size
        raise Failure(f"its code differs from this build's from {at(offset)}")
    faults = []
    for index, signed_data in enumerate(signatures(signed, where)):
        try:
            judge_signature(theirs, signed_data)
        except Failure as why:  # "its signature 0 is corrupt", "its signature 0's timestamp"
            said = f"its signature {index}" + ("" if str(why)[0] == "'" else " ") + str(why)
            faults.append(Failure(said, why.status))
    if faults:  # refused where one is; unjudged where all are
        raise Failure("; ".join(map(str, faults)), min(each.status for each in faults))
    return signers(signed)

def main(arguments):
    if arguments[:1] == ["signers"]:
        for exe in arguments[1:]:
            try:
                print("".join(f"{each}\n" for each in signers(Path(exe).read_bytes())), end="")
            except Failure as why:
                print(f"{exe}: {why}.", file=sys.stderr)
                return why.status
        return 0
    if arguments[:1] != ["check"] or len(arguments) < 3:
        print(__doc__.split("\n\n")[0], file=sys.stderr)
        return UNJUDGED
    statuses = []
    for build in arguments[2:]:
        name = os.path.basename(build)
        path = os.path.join(arguments[1], name)
        try:
            subjects = judge(build, path)
        except Failure as why:
            statuses.append(why.status)
            print(f"Refused: {path} is not this build plus a signature: {why}.", file=sys.stderr)
            continue
        named = f"name {', '.join(subjects)} as their signers; whether to trust those is"
        if len(subjects) == 1:
            named = f"name {subjects[0]} as their signer; whether to trust that certificate is"
        print(f"{name}: this build plus intact signatures, which {named} Windows' to judge.",
              file=sys.stderr)
    if statuses:
        print("Nothing was written.", file=sys.stderr)
    return min(statuses, default=0)

if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except OSError as error:
        print(f"release/signature.py: {error}", file=sys.stderr)
        sys.exit(UNJUDGED)
