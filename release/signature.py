#!/usr/bin/python3
"""Usage: release/signature.py check DIR BUILD... | signers EXE...

check refuses, naming it, each exe of DIR that is not the BUILD of its name
plus intact Authenticode signatures (exit 3); signers lists the subjects of
the certificates that the signatures carry for their signers. Whether those
are to be trusted is Windows' to judge (docs/release-tooling.md, "Signature
rules").
"""
import collections, hashlib, os, struct, sys

import pefile
from asn1crypto import algos, cms, core, parser, tsp
from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding

from verdict import amount, first_difference

# Where the header's checksum and its entry for the certificate table stand,
# and the table's offset and size (0 for an exe without a signature).
Layout = collections.namedtuple("Layout", "checksum entry table size")
# A WIN_CERTIFICATE's header: its length (dwLength), revision and type.
Entry = collections.namedtuple("Entry", "length revision type")
# The table's one entry's PKCS#7 (DER), and what is wrong with the table around it, if anything.
Table = collections.namedtuple("Table", "der fault")
# The unsigned attributes that Authenticode defines, which no signature covers: a signature nested
# in the one before it, and its timestamps, an RFC 3161 token or a legacy PKCS #9 countersignature.
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
TIMESTAMP, COUNTERSIGNATURE = "1.3.6.1.4.1.311.3.3.1", "1.2.840.113549.1.9.6"
INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"  # SpcIndirectDataContent: the exe's digest
TST_INFO, DATA = "1.2.840.113549.1.9.16.1.4", "1.2.840.113549.1.7.1"  # what timestamps sign
DIGESTS = {"sha1": hashes.SHA1, "sha256": hashes.SHA256, "sha384": hashes.SHA384,
           "sha512": hashes.SHA512}
UNREADABLE = "its signatures cannot be read"

class IndirectData(core.Sequence):
    """Authenticode's SpcIndirectDataContent: what the exe is, then its DigestInfo."""
    _fields = [("data", core.Any), ("digest", algos.DigestInfo)]

# Authenticode's signed attributes: SpcSpOpusInfo (signtool's /d and /du) and SpcStatementType.
class SpcString(core.Choice):
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}),
                     ("ascii", core.IA5String, {"implicit": 1})]

class SpcLink(core.Choice):
    _alternatives = [("url", core.IA5String, {"implicit": 0}), ("file", SpcString, {"explicit": 2})]

class OpusInfo(core.Sequence):
    _fields = [("program_name", SpcString, {"explicit": 0, "optional": True}),
               ("more_info", SpcLink, {"explicit": 1, "optional": True})]

class StatementType(core.SequenceOf):
    _child_spec = core.ObjectIdentifier

SPC_ATTRIBUTES = {"1.3.6.1.4.1.311.2.1.12": OpusInfo, "1.3.6.1.4.1.311.2.1.11": StatementType}

class Unjudged(Exception):
    """A form of signature that this check does not read."""

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
    """What the signatures cover: all but the checksum, the table's entry and the table."""
    where = layout(data)
    end = where.table if where.size else len(data)
    return data[:where.checksum] + data[where.checksum + 4:where.entry] + data[where.entry + 8:end]

def certificate_table(data, where):
    """The Table of an exe with a signature; a ValueError where its PKCS#7 cannot be read."""
    table = data[where.table:where.table + where.size]
    if len(table) < 8:
        raise ValueError(UNREADABLE)
    entry = Entry._make(struct.unpack_from("<IHH", table))
    try:  # The DER's own length says where it ends; dwLength must hold it.
        _, _, _, header, contents, _ = parser.parse(table[8:entry.length], strict=False)
    except ValueError:
        raise ValueError(UNREADABLE)
    end = 8 + len(header) + len(contents)
    der, after = table[8:end], table[end:]
    fault = None
    if entry.revision != 0x0200:
        fault = f"its certificate table's entry is of revision 0x{entry.revision:04x}, not 2.0"
    elif entry.type != 2:
        fault = f"its certificate table's entry is of type {entry.type}, not PKCS#7 (2)"
    elif entry.length > len(table):
        fault = (f"its certificate table's entry says it is {entry.length} bytes long,"
                 f" longer than the table ({len(table)} bytes)")
    elif len(after) >= 8 or after.strip(b"\0"):
        rest = table[(entry.length + 7) // 8 * 8:]  # entries are aligned to 8 bytes
        if len(rest) >= 8 and 8 <= struct.unpack_from("<I", rest)[0] <= len(rest):
            fault = "a second entry in its certificate table"
        else:
            fault = (f"{amount(len(after))} after its signature, in its certificate table,"
                     " where only up to 7 zeros may align it")
    elif entry.length not in (end, len(table)):
        fault = (f"its certificate table's entry ends at byte {entry.length}, neither where"
                 f" its signature does ({end}) nor where the table does ({len(table)})")
    return Table(der, fault)

def pkcs7_signatures(der):
    """Each signature's SignedData, by index: the primary one, then those nested in it."""
    found, pending = [], [cms.ContentInfo.load(der, strict=True)]
    while pending:
        found.append(pending.pop(0)["content"])
        for signer in found[-1]["signer_infos"]:
            for attribute in signer["unsigned_attrs"] or []:
                if attribute["type"].dotted == NESTED_SIGNATURE:
                    pending.extend(attribute["values"])
    return found

def signer_certificate(signed_data, signer):
    """The certificate, of those that the signature carries, that names its signer; or None."""
    named = signer["sid"]  # by issuer and serial number, or by subjectKeyIdentifier
    for choice in signed_data["certificates"] or []:
        if choice.name != "certificate":
            continue
        certificate = choice.chosen
        if named.name == "issuer_and_serial_number":
            if (certificate.issuer == named.chosen["issuer"]
                    and certificate.serial_number == named.chosen["serial_number"].native):
                return certificate
        elif certificate.key_identifier == named.chosen.native:
            return certificate
    return None

def loaded(certificate):
    """The certificate (asn1crypto's) as cryptography reads it; a ValueError where it cannot."""
    try:
        return x509.load_der_x509_certificate(certificate.dump())
    except (ValueError, x509.InvalidVersion, UnsupportedAlgorithm):
        raise ValueError("its signer's certificate cannot be read")

def digest(name):
    """The digest algorithm of that name (sha256), where this check reads it; else an Unjudged."""
    if name not in DIGESTS:
        raise Unjudged(f"the digest {name}")
    return DIGESTS[name]()

def attribute(signer, name):
    """The one value of a signed attribute; None where it is not there once, with one value."""
    values = [each["values"] for each in signer["signed_attrs"] if each["type"].native == name]
    if len(values) != 1 or len(values[0]) != 1:
        return None
    return values[0][0]

def verify(certificate, signer, signed):
    """Verifies the signer's value over signed with the certificate's key (InvalidSignature where
    it fails), by RSA PKCS#1 v1.5, RSA-PSS or ECDSA; an Unjudged where by another form."""
    algorithm = signer["signature_algorithm"]
    kind = certificate.public_key.algorithm  # rsa, ec, dsa, ed25519, ...
    try:
        form = algorithm.signature_algo  # rsassa_pkcs1v15, rsassa_pss, ecdsa, dsa, ...
        name = signer["digest_algorithm"]["algorithm"].native
        if algorithm["algorithm"].native not in ("rsassa_pkcs1v15", "ecdsa"):  # sha256_rsa, ...
            name = algorithm.hash_algo  # rather than the signer's, for those that name one
    except ValueError:
        raise Unjudged(f"the signature algorithm {algorithm['algorithm'].native}")
    if (kind, form) not in [("rsa", "rsassa_pkcs1v15"), ("rsa", "rsassa_pss"), ("ec", "ecdsa")]:
        raise Unjudged(f"the signature algorithm {form} with a key of type {kind}")
    try:
        key = loaded(certificate).public_key()
    except UnsupportedAlgorithm:
        raise Unjudged(f"a key of type {kind} that cannot be read")
    value = signer["signature"].native
    if form == "ecdsa":
        key.verify(value, signed, ec.ECDSA(digest(name)))
    elif form == "rsassa_pkcs1v15":
        key.verify(value, signed, padding.PKCS1v15(), digest(name))
    else:  # RSA-PSS, as its parameters say: the hash, the mask's and the salt's length
        pss = algorithm["parameters"]
        mask = pss["mask_gen_algorithm"]
        if mask["algorithm"].native != "mgf1" or pss["trailer_field"].native != "trailer_field_bc":
            raise Unjudged(f"an RSA-PSS signature with the mask {mask['algorithm'].native}")
        mgf = padding.MGF1(digest(mask["parameters"]["algorithm"].native))
        key.verify(value, signed, padding.PSS(mgf, pss["salt_length"].native), digest(name))

def well_formed(der):
    """Whether der is one value of definite length, each part's to its last byte, however deep."""
    pending = [der]
    while pending:
        _, constructed, _, _, contents, trailer = parser.parse(pending.pop(), strict=True)
        while constructed and contents and not trailer:
            _, _, _, header, inner, end = parser.parse(contents)
            pending.append(contents[:len(header) + len(inner) + len(end)])
            contents = contents[len(pending[-1]):]
        if trailer:  # an indefinite length: BER's, not DER's
            return False
    return True

def off_chain(signed_data, signer):
    """Where signed_data carries a certificate on no chain of its signer's or countersigners' (none
    of theirs, nor the issuer of one on a chain), what says so; None where it does not."""
    countersigners = [value for each in signer["unsigned_attrs"] or []
                      if each["type"].dotted == COUNTERSIGNATURE for value in each["values"]]
    chain = [signer_certificate(signed_data, each) for each in [signer] + countersigners]
    rest = list(signed_data["certificates"] or [])
    for _ in range(len(rest)):  # each pass adds the issuers of those that the one before added
        on = [each for each in rest if any(each.chosen.dump() == one.dump()
                                           or each.chosen.subject == one.issuer for one in chain)]
        chain += [each.chosen for each in on]
        rest = [each for each in rest if each not in on]
    if rest:
        named = loaded(rest[0].chosen).subject.rfc4514_string()  # CN=...
        return f"carries a certificate on no signer's chain: {named}"
    return None

def signer_fault(signed_data, signer, kind, name, content, stamps=(), chained=True):
    """What is wrong with signer's signature over content of the type kind (named name), with its
    unsigned attributes (stamps alone may be) or, if chained, with signed_data's certificates."""
    for part in [signed_data["digest_algorithms"], signed_data["certificates"], signed_data["crls"]
                 ] + [signer[field] for field in signer if not field.endswith("_attrs")]:
        part.native  # each part parsed, so that a malformed one is found
    if not signer["signed_attrs"]:
        return "has no signed attributes"
    for each in signer["signed_attrs"]:  # all that the signature covers, read by type where known
        if not well_formed(each.dump()):
            return "has a signed attribute that is not of definite lengths to its last byte"
        if each["type"].native in ("content_type", "message_digest", "signing_time"):
            each.native
        if each["type"].native in SPC_ATTRIBUTES:  # others, asn1crypto's or not, are signed DER
            for value in each["values"]:
                SPC_ATTRIBUTES[each["type"].native].load(value.dump(), strict=True).native
    algorithm = digest(signer["digest_algorithm"]["algorithm"].native).name  # sha256
    content_type = attribute(signer, "content_type")
    if not content_type or content_type.dotted != kind:
        return f"does not name {name} as what it signs (its contentType)"
    message_digest = attribute(signer, "message_digest")
    if not message_digest:
        return "does not have one messageDigest among its signed attributes"
    if message_digest.native != hashlib.new(algorithm, content).digest():
        return "is corrupt: its messageDigest is not that of what it holds"
    certificate = signer_certificate(signed_data, signer)
    if not certificate:
        return "does not carry its signer's certificate"
    signed = b"\x31" + signer["signed_attrs"].dump()[1:]  # signed as a SET OF, not as its [0]
    try:
        verify(certificate, signer, signed)
    except InvalidSignature:
        return "is corrupt: its value does not verify with its signer's certificate"
    for each in signer["unsigned_attrs"] or []:
        oid = each["type"].dotted
        if oid not in stamps:
            size = sum(len(value.dump()) for value in each["values"])
            return f"carries {amount(size)} that no signature covers (an unsigned attribute {oid})"
        for value in each["values"]:
            if oid != NESTED_SIGNATURE:  # a timestamp; a nested signature is judged as the others
                why = stamp_fault(signed_data, signer, oid, value)
                if why:
                    return f"'s timestamp {why}"
    return off_chain(signed_data, signer) if chained else None

def stamp_fault(signed_data, signer, kind, value):
    """What is wrong with a timestamp (value, of that kind) of signer's value: it must hold that
    value's digest and verify with the certificate it carries; None where it is intact."""
    stamped = signer["signature"].native
    if kind == COUNTERSIGNATURE:  # a SignerInfo over the value, as data
        return signer_fault(signed_data, value, DATA, "data", stamped, chained=False)
    token = value["content"]  # an RFC 3161 token: a SignedData of a TSTInfo
    if value["content_type"].native != "signed_data" or len(token["signer_infos"]) != 1:
        return "is not a SignedData of one signer"
    info = token["encap_content_info"]["content"]
    imprint = info.parse(tsp.TSTInfo).native["message_imprint"]  # all of the TSTInfo read
    algorithm = digest(imprint["hash_algorithm"]["algorithm"]).name
    if imprint["hashed_message"] != hashlib.new(algorithm, stamped).digest():
        return "is corrupt: its imprint is not the digest of the value that it stamps"
    return signer_fault(token, token["signer_infos"][0], TST_INFO, "TSTInfo", info.contents)

def fault(content, signed_data):
    """What is wrong with a signature (its SignedData) of an exe whose signed content is content;
    None where it is intact; an Unjudged where it is in a form this check does not read."""
    encapsulated = signed_data["encap_content_info"]
    if encapsulated["content_type"].dotted != INDIRECT_DATA:
        return "does not hold the exe's digest (an SpcIndirectDataContent)"
    if isinstance(encapsulated["content"], core.Void):
        return "holds no content, so no digest of the exe"
    if len(signed_data["signer_infos"]) != 1:
        return f"has {len(signed_data['signer_infos'])} signers, not one"
    signer = signed_data["signer_infos"][0]
    indirect = encapsulated["content"].parse(IndirectData)
    exe_algorithm = digest(indirect["digest"].native["digest_algorithm"]["algorithm"]).name
    digest(signer["digest_algorithm"]["algorithm"].native)  # one not read is named first
    versions = (signed_data["version"].native, signer["version"].native)
    if versions not in [("v1", "v1"), ("v1", "v3")]:  # v3: a signer named by key identifier
        return f"is of the versions {versions[0]} and {versions[1]}, not Authenticode's"
    listed = [each["algorithm"].native for each in signed_data["digest_algorithms"]]
    if listed != [signer["digest_algorithm"]["algorithm"].native]:
        return "does not list its signer's digest algorithm alone in its digestAlgorithms"
    if indirect["digest"]["digest"].native != hashlib.new(exe_algorithm, content).digest():
        return "does not sign its content"
    # What is signed: the digest of SpcIndirectDataContent's value (less its tag and length).
    return signer_fault(signed_data, signer, INDIRECT_DATA, "SpcIndirectDataContent",
                        indirect.contents, (NESTED_SIGNATURE, TIMESTAMP, COUNTERSIGNATURE))

def signers(data):
    """The subjects of the certificates that the exe's signatures carry for their signers (CN=...),
    each once; a ValueError that says why where the exe or its signatures cannot be read."""
    subjects = []
    where = layout(data)
    if not where.size:
        return subjects
    try:
        for signed_data in pkcs7_signatures(certificate_table(data, where).der):
            for signer in signed_data["signer_infos"]:
                certificate = signer_certificate(signed_data, signer)
                if certificate:
                    subjects.append(loaded(certificate).subject.rfc4514_string())
    except (ValueError, TypeError, KeyError, AttributeError, Unjudged):
        raise ValueError(UNREADABLE)
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
    if where.table + where.size < len(signed):
        return f"{amount(len(signed) - where.table - where.size)} after its certificate table"
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
        table = certificate_table(signed, where)
        if table.fault:
            return table.fault
        for index, signed_data in enumerate(pkcs7_signatures(table.der)):
            try:
                why = fault(theirs, signed_data)
            except Unjudged as form:
                why = f"is in a form this check cannot judge: {form}"
            if why:  # "its signature 0 is corrupt", "its signature 0's timestamp is corrupt"
                faults.append(f"its signature {index}" + ("" if why[0] == "'" else " ") + why)
    except (ValueError, TypeError, KeyError, AttributeError):  # asn1crypto's, on a malformed part
        return UNREADABLE
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
            continue
        with open(path, "rb") as data:
            subjects = signers(data.read())
        if len(subjects) == 1:
            named = f"name {subjects[0]} as their signer; whether to trust that certificate is"
        else:
            named = f"name {', '.join(subjects)} as their signers; whether to trust those is"
        print(f"{name}: this build plus intact signatures, which {named} Windows' to judge.",
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
