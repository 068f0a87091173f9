#!/usr/bin/python3
"""Usage: release/signature.py check DIR BUILD... | signers EXE...

check refuses, naming it, each exe of DIR that is not the BUILD of its name
plus intact Authenticode signatures: it exits 0 where all are, 1 where one is
refused, and 2 where it cannot judge (a missing file, a form it does not
read). signers lists the subjects of the certificates that the signatures
carry for their signers. Whether those are to be trusted is Windows' to judge
(docs/release-tooling.md, "Signature rules").
"""
import collections, hashlib, os, struct, sys

import pefile
from asn1crypto import algos, cms, core, parser, tsp
from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding

from verdict import UNJUDGED, Failure, amount, first_difference

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

def layout(data):
    """The Layout of an exe's bytes; a Failure that says why where they are not an exe's."""
    try:
        header = pefile.PE(data=data, fast_load=True).OPTIONAL_HEADER
    except pefile.PEFormatError:
        raise Failure("it is not a Windows executable")
    entry = header.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    where = Layout(header.get_field_absolute_offset("CheckSum"), entry.get_file_offset(),
                   entry.VirtualAddress, entry.Size)
    if where.table + where.size > len(data):
        raise Failure("it is cut short: its signatures would end past its end")
    return where

def signed_content(data):
    """What the signatures cover: all but the checksum, the table's entry and the table."""
    where = layout(data)
    end = where.table if where.size else len(data)
    return data[:where.checksum] + data[where.checksum + 4:where.entry] + data[where.entry + 8:end]

def certificate_table(data, where):
    """The Table of an exe with a signature; a Failure where its PKCS#7 cannot be read."""
    table = data[where.table:where.table + where.size]
    if len(table) < 8:
        raise Failure(UNREADABLE)
    entry = Entry._make(struct.unpack_from("<IHH", table))
    try:  # The DER's own length says where it ends; dwLength must hold it.
        _, _, _, header, contents, _ = parser.parse(table[8:entry.length], strict=False)
    except ValueError:
        raise Failure(UNREADABLE)
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
    """The certificate (asn1crypto's) as cryptography reads it; a Failure where it cannot."""
    try:
        return x509.load_der_x509_certificate(certificate.dump())
    except (ValueError, x509.InvalidVersion, UnsupportedAlgorithm):
        raise Failure("its signer's certificate cannot be read")

def unjudged(form):
    """The Failure of a signature in a form that this check does not read."""
    return Failure(f"is in a form this check cannot judge: {form}", UNJUDGED)

def digest(name):
    """The digest algorithm of that name (sha256), where this check reads it; else unjudged."""
    if name not in DIGESTS:
        raise unjudged(f"the digest {name}")
    return DIGESTS[name]()

def attribute(signer, name):
    """The one value of a signed attribute; None where it is not there once, with one value."""
    values = [each["values"] for each in signer["signed_attrs"] if each["type"].native == name]
    if len(values) != 1 or len(values[0]) != 1:
        return None
    return values[0][0]

def verify(certificate, signer, signed):
    """Verifies the signer's value over signed with the certificate's key (InvalidSignature where
    it fails), by RSA PKCS#1 v1.5, RSA-PSS or ECDSA; unjudged where by another form."""
    algorithm = signer["signature_algorithm"]
    kind = certificate.public_key.algorithm  # rsa, ec, dsa, ed25519, ...
    try:
        form = algorithm.signature_algo  # rsassa_pkcs1v15, rsassa_pss, ecdsa, dsa, ...
        name = signer["digest_algorithm"]["algorithm"].native
        if algorithm["algorithm"].native not in ("rsassa_pkcs1v15", "ecdsa"):  # sha256_rsa, ...
            name = algorithm.hash_algo  # rather than the signer's, for those that name one
    except ValueError:
        raise unjudged(f"the signature algorithm {algorithm['algorithm'].native}")
    if (kind, form) not in [("rsa", "rsassa_pkcs1v15"), ("rsa", "rsassa_pss"), ("ec", "ecdsa")]:
        raise unjudged(f"the signature algorithm {form} with a key of type {kind}")
    try:
        key = loaded(certificate).public_key()
    except UnsupportedAlgorithm:
        raise unjudged(f"a key of type {kind} that cannot be read")
    value = signer["signature"].native
    if form == "ecdsa":
        key.verify(value, signed, ec.ECDSA(digest(name)))
    elif form == "rsassa_pkcs1v15":
        key.verify(value, signed, padding.PKCS1v15(), digest(name))
    else:  # RSA-PSS, as its parameters say: the hash, the mask's and the salt's length
        pss = algorithm["parameters"]
        mask = pss["mask_gen_algorithm"]
        if mask["algorithm"].native != "mgf1" or pss["trailer_field"].native != "trailer_field_bc":
            raise unjudged(f"an RSA-PSS signature with the mask {mask['algorithm'].native}")
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

def judge_chain(signed_data, signer):
    """A Failure where signed_data carries a certificate on no chain of its signer's or
    countersigners' (none of theirs, nor the issuer of one on a chain)."""
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
        raise Failure(f"carries a certificate on no signer's chain: {named}")

def judge_signer(signed_data, signer, kind, name, content, unsigned={}, chained=True):
    """A Failure that says what is wrong with signer's signature over content of the type kind
    (named name), with its unsigned attributes (only those that unsigned judges, by OID, may be)
    or, if chained, with signed_data's certificates."""
    for part in [signed_data["digest_algorithms"], signed_data["certificates"], signed_data["crls"]
                 ] + [signer[field] for field in signer if not field.endswith("_attrs")]:
        part.native  # each part parsed, so that a malformed one is found
    if not signer["signed_attrs"]:
        raise Failure("has no signed attributes")
    for each in signer["signed_attrs"]:  # all that the signature covers, read by type where known
        if not well_formed(each.dump()):
            raise Failure("has a signed attribute that is not of definite lengths to its last byte")
        if each["type"].native in ("content_type", "message_digest", "signing_time"):
            each.native
        if each["type"].native in SPC_ATTRIBUTES:  # others, asn1crypto's or not, are signed DER
            for value in each["values"]:
                SPC_ATTRIBUTES[each["type"].native].load(value.dump(), strict=True).native
    algorithm = digest(signer["digest_algorithm"]["algorithm"].native).name  # sha256
    content_type = attribute(signer, "content_type")
    if not content_type or content_type.dotted != kind:
        raise Failure(f"does not name {name} as what it signs (its contentType)")
    message_digest = attribute(signer, "message_digest")
    if not message_digest:
        raise Failure("does not have one messageDigest among its signed attributes")
    if message_digest.native != hashlib.new(algorithm, content).digest():
        raise Failure("is corrupt: its messageDigest is not that of what it holds")
    certificate = signer_certificate(signed_data, signer)
    if not certificate:
        raise Failure("does not carry its signer's certificate")
    signed = b"\x31" + signer["signed_attrs"].dump()[1:]  # signed as a SET OF, not as its [0]
    try:
        verify(certificate, signer, signed)
    except InvalidSignature:
        raise Failure("is corrupt: its value does not verify with its signer's certificate")
    for each in signer["unsigned_attrs"] or []:
        oid = each["type"].dotted
        if oid not in unsigned:
            size = sum(len(value.dump()) for value in each["values"])
            raise Failure(f"carries {amount(size)} that no signature covers (an unsigned attribute"
                          f" {oid})")
        for value in each["values"]:
            unsigned[oid](signed_data, signer, value)
    if chained:
        judge_chain(signed_data, signer)

def judge_token(signed_data, signer, value):
    """A Failure where an RFC 3161 timestamp (value) of signer's value does not hold that value's
    digest or does not verify with the certificate it carries."""
    stamped = signer["signature"].native
    token = value["content"]  # a SignedData of a TSTInfo
    if value["content_type"].native != "signed_data" or len(token["signer_infos"]) != 1:
        raise Failure("is not a SignedData of one signer")
    info = token["encap_content_info"]["content"]
    imprint = info.parse(tsp.TSTInfo).native["message_imprint"]  # all of the TSTInfo read
    algorithm = digest(imprint["hash_algorithm"]["algorithm"]).name
    if imprint["hashed_message"] != hashlib.new(algorithm, stamped).digest():
        raise Failure("is corrupt: its imprint is not the digest of the value that it stamps")
    judge_signer(token, token["signer_infos"][0], TST_INFO, "TSTInfo", info.contents)

def judge_countersignature(signed_data, signer, value):
    """A Failure where a PKCS #9 countersignature (value, a SignerInfo over signer's value, as
    data) is not intact, with a certificate that signed_data carries."""
    judge_signer(signed_data, value, DATA, "data", signer["signature"].native, chained=False)

def timestamp(judge):
    """judge, its Failure said of a timestamp: "'s timestamp is corrupt"."""
    def judged(signed_data, signer, value):
        try:
            judge(signed_data, signer, value)
        except Failure as why:
            raise Failure(f"'s timestamp {why}", why.status)
    return judged

# The unsigned attributes that Authenticode defines, which no signature covers, by OID, with their
# judges: a signature nested in the one before it (judged as the others are), and its timestamps.
UNSIGNED = {NESTED_SIGNATURE: lambda signed_data, signer, value: None,
            TIMESTAMP: timestamp(judge_token), COUNTERSIGNATURE: timestamp(judge_countersignature)}

def judge_signature(content, signed_data):
    """A Failure that says what is wrong with a signature (its SignedData) of an exe whose signed
    content is content, or that it is in a form this check does not read."""
    encapsulated = signed_data["encap_content_info"]
    if encapsulated["content_type"].dotted != INDIRECT_DATA:
        raise Failure("does not hold the exe's digest (an SpcIndirectDataContent)")
    if isinstance(encapsulated["content"], core.Void):
        raise Failure("holds no content, so no digest of the exe")
    if len(signed_data["signer_infos"]) != 1:
        raise Failure(f"has {len(signed_data['signer_infos'])} signers, not one")
    signer = signed_data["signer_infos"][0]
    indirect = encapsulated["content"].parse(IndirectData)
    exe_algorithm = digest(indirect["digest"].native["digest_algorithm"]["algorithm"]).name
    digest(signer["digest_algorithm"]["algorithm"].native)  # one not read is named first
    versions = (signed_data["version"].native, signer["version"].native)
    if versions not in [("v1", "v1"), ("v1", "v3")]:  # v3: a signer named by key identifier
        raise Failure(f"is of the versions {versions[0]} and {versions[1]}, not Authenticode's")
    listed = [each["algorithm"].native for each in signed_data["digest_algorithms"]]
    if listed != [signer["digest_algorithm"]["algorithm"].native]:
        raise Failure("does not list its signer's digest algorithm alone in its digestAlgorithms")
    if indirect["digest"]["digest"].native != hashlib.new(exe_algorithm, content).digest():
        raise Failure("does not sign its content")
    # What is signed: the digest of SpcIndirectDataContent's value (less its tag and length).
    judge_signer(signed_data, signer, INDIRECT_DATA, "SpcIndirectDataContent", indirect.contents,
                 UNSIGNED)

def signers(data):
    """The subjects of the certificates that the exe's signatures carry for their signers (CN=...),
    each once; a Failure that says why where the exe or its signatures cannot be read."""
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
    except (ValueError, TypeError, KeyError, AttributeError):
        raise Failure(UNREADABLE)
    return list(dict.fromkeys(subjects))

def judge(build, path):
    """The signers (as signers gives them) of the exe at path, where it is the build plus intact
    signatures; else a Failure that says why: DIFFERS where it is refused, UNJUDGED where this
    check cannot tell (it is not there, or in a form this check does not read)."""
    if not os.path.isfile(path):
        raise Failure("it is not there", UNJUDGED)
    with open(build, "rb") as built, open(path, "rb") as signed:
        built, signed = built.read(), signed.read()
    where = layout(signed)
    if not where.size:
        raise Failure("it carries no signature")
    if where.table + where.size < len(signed):
        raise Failure(f"{amount(len(signed) - where.table - where.size)} after its certificate"
                      " table")
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
        raise Failure(f"its code differs from this build's from offset {offset} (0x{offset:x})")
    faults = []
    try:
        table = certificate_table(signed, where)
        if table.fault:
            raise Failure(table.fault)
        for index, signed_data in enumerate(pkcs7_signatures(table.der)):
            try:
                judge_signature(theirs, signed_data)
            except Failure as why:  # "its signature 0 is corrupt", "its signature 0's timestamp"
                said = f"its signature {index}" + ("" if str(why)[0] == "'" else " ") + str(why)
                faults.append(Failure(said, why.status))
    except (ValueError, TypeError, KeyError, AttributeError):  # asn1crypto's, on a malformed part
        raise Failure(UNREADABLE)
    if faults:  # refused where one is; unjudged where all are
        raise Failure("; ".join(map(str, faults)), min(each.status for each in faults))
    return signers(signed)

def check(directory, builds):
    """Says of each build whether DIR's exe of its name is it plus intact signatures; its status:
    0 where all are, 1 where one is refused, else 2 where one cannot be judged."""
    statuses = []
    for build in builds:
        name = os.path.basename(build)
        path = os.path.join(directory, name)
        try:
            subjects = judge(build, path)
        except Failure as why:
            statuses.append(why.status)
            print(f"Refused: {path} is not this build plus a signature: {why}.", file=sys.stderr)
            continue
        if len(subjects) == 1:
            named = f"name {subjects[0]} as their signer; whether to trust that certificate is"
        else:
            named = f"name {', '.join(subjects)} as their signers; whether to trust those is"
        print(f"{name}: this build plus intact signatures, which {named} Windows' to judge.",
              file=sys.stderr)
    if statuses:
        print("Nothing was written.", file=sys.stderr)
    return min(statuses, default=0)

def main(command, arguments):
    """Runs the command; its status."""
    if command == ["check"] and len(arguments) > 1:
        return check(arguments[0], arguments[1:])
    if command != ["signers"]:
        print(__doc__.split("\n\n")[0], file=sys.stderr)
        return UNJUDGED
    for exe in arguments:
        with open(exe, "rb") as data:
            data = data.read()
        try:
            subjects = signers(data)
        except Failure as why:
            print(f"{exe}: {why}.", file=sys.stderr)
            return why.status
        for subject in subjects:
            print(subject)
    return 0

if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:2], sys.argv[2:]))
    except OSError as error:
        print(f"release/signature.py: {error}", file=sys.stderr)
        sys.exit(UNJUDGED)
