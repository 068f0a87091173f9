"""The release tooling's own judgments, on small made-up inputs: a copyright
file's terms, an exe's signatures, and SHA256SUMS. Run by scripts/test.sh with pytest."""
import contextlib, hashlib, os, re, struct, subprocess, sys
from operator import setitem
from pathlib import Path

import pytest
from asn1crypto import cms
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding
from debian.copyright import Copyright
from debian.deb822 import BuildInfo, Packages

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "release"))
import buildinfo, components, notices, rebuild, signature

COPYRIGHT = """Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/

Files: *
Copyright: 2009 the mingw-w64 project
License: ZPL-2.1
 The ZPL's text.

Files: mingw-w64-crt/misc/*
Copyright: 2020 A. Misc
License: expat

Files: mingw-w64-crt/stdio/wcrtomb.c mingw-w64-libraries/winpthreads/src/thread.c
Copyright: 2021 A. Stdio
License: expat

Files: mingw-w64-libraries/winpthreads/src/wcrtomb.c
Copyright: 2022 A. Thread
License: BSD-3-clause and expat
"""
EXPAT = "License: expat\n Permission is hereby granted.\n"
PACKAGE = components.Package("mingw-w64-x86-64-dev", "1", "all")

def copyrights(text):
    return {PACKAGE.name: Copyright(text.splitlines(), strict=False)}

@pytest.mark.parametrize("text, paragraph, why", [
    (COPYRIGHT + "\n" + EXPAT, "3", None),
    (COPYRIGHT, "3", "paragraph 3 of its copyright file (Files: mingw-w64-crt/misc/*) names"
                     " the licence expat"),
    (COPYRIGHT + "\n" + EXPAT, "5", "names the licence BSD-3-clause without its text"),
])
def test_each_licence_named_has_its_text(text, paragraph, why):
    record = components.Record("x.exe", *PACKAGE, "libmingwex.a", "m", "c", "MIT", paragraph, "")
    terms, problem = notices.terms_text(record, copyrights(text))
    if why:
        assert why in problem and PACKAGE.name in problem and terms is None
    else:
        assert problem is None and terms.endswith("\n\n" + EXPAT.rstrip("\n"))

@pytest.mark.parametrize("sources, stem, why", [
    # Covered by a wildcard, while a file of its name is named elsewhere.
    (["mingw-w64-crt/misc/%.c"], "wcrtomb", "has terms for mingw-w64-crt/stdio/wcrtomb.c, which"),
    # Named itself, beside another file of its name.
    (["mingw-w64-crt/stdio/%.c"], "wcrtomb", None),
    # A header compiled in is not the member's source, whatever its name.
    (["mingw-w64-libraries/winpthreads/src/%.c", "mingw-w64-crt/misc/pthread.h"], "thread", None),
])
def test_the_source_that_a_row_names(sources, stem, why):
    row = components.Row("c", ["libx.a"], ["*"], sources, "", "")
    found, problems = components.member_records("x.exe", PACKAGE, "libx.a", stem, row,
                                                copyrights(COPYRIGHT))
    if why:
        assert len(problems) == 1 and why in problems[0] and not found
    else:
        assert problems == [] and len(found) == len(sources)

MIXED = [components.Row("d", ["libstdc++.a"], ["cp-demangle"], [], "GPL-2.0-or-later", "/a/,/b/"),
         components.Row("g", ["libgcc.a", "libstdc++.a"], ["*"], [], "GPL-3.0-or-later", "/a/,/b/")]

@pytest.mark.parametrize("name, stem, found", [
    ("libstdc++.a", "cp-demangle", "d"), ("libgcc.a", "_ctors", "g"),
    # Pulled in by a new runtime: named, not taken to be under another member's terms.
    ("libstdc++.a", "new_op", "libstdc++.a in more than one row, yet takes all its members (*)"),
])
def test_a_mixed_archive_lists_its_members(name, stem, found):
    row, problem = components.row_of(MIXED, name, stem)
    if row:
        assert problem is None and row.component == found
    else:
        assert found in problem and f"name {stem} there" in problem

@pytest.fixture(scope="module")
def signed(tmp_path_factory):
    """A tiny exe, signed: SHA-1 by RSA, SHA-384 by ECDSA nested in that; SHA-1 again by PSS."""
    folder = tmp_path_factory.mktemp("signed")

    def run(*command):
        subprocess.run(command, cwd=folder, check=True, capture_output=True)
    (folder / "tiny.c").write_text("void start(void) {}\n")
    run("x86_64-w64-mingw32-gcc-posix", "-nostdlib", "-e", "start", "-o", "tiny.exe", "tiny.c")
    for key, new in [("rsa", ["rsa:2048"]), ("ec", ["ec", "-pkeyopt", "ec_paramgen_curve:P-256"])]:
        run("openssl", "req", "-x509", "-newkey", *new, "-nodes", "-days", "1", "-subj",
            f"/CN=Test {key} signer", "-keyout", f"{key}.key", "-out", f"{key}.pem")
    for digest, unsigned, out, key, *nest in [("sha1", "tiny.exe", "sha1.exe", "rsa"),
                                              ("sha384", "sha1.exe", "nested.exe", "ec", "-nest")]:
        run("osslsigncode", "sign", *nest, "-certs", f"{key}.pem", "-key", f"{key}.key",
            "-h", digest, "-in", unsigned, "-out", out)
    key = serialization.load_pem_private_key((folder / "rsa.key").read_bytes(), None)
    def pss(signed_data, signer):  # by SHA-512, a mask by SHA-1 (the default), a 64-byte salt
        signer["signature_algorithm"] = {"algorithm": "rsassa_pss", "parameters": {
            "hash_algorithm": {"algorithm": "sha512"}, "salt_length": 64}}
        signer["signature"] = key.sign(b"\x31" + signer["signed_attrs"].dump()[1:],  # a SET OF
            padding.PSS(padding.MGF1(hashes.SHA1()), 64), hashes.SHA512())
    (folder / "pss.exe").write_bytes(retabled(signed=pss)((folder / "sha1.exe").read_bytes()))
    return folder

def corrupt(data):
    """A bit of the last signature's value flipped: it ends the table, but for zeros."""
    data = bytearray(data)
    data[len(data.rstrip(b"\0")) - 10] ^= 1
    return bytes(data)

def retabled(table=bytes, signed=None):
    """The exe, its SignedData changed by signed(it, its signer), then its table by table."""
    def changed(data):
        where = signature.layout(data)
        new = data[where.table:]
        if signed:
            info = cms.ContentInfo.load(new[8:])
            signed(info["content"], info["content"]["signer_infos"][0])
            der = info.dump(force=True)
            new = struct.pack("<IHH", 8 + len(der), 0x200, 2) + der + bytes(-len(der) % 8)
        new = table(new)
        size = struct.pack("<I", len(new))
        return data[:where.entry + 4] + size + data[where.entry + 8:where.table] + new
    return changed

@pytest.mark.parametrize("exe, change, why", [
    ("nested.exe", bytes, None),
    ("nested.exe", corrupt, "its signature 1 is corrupt: its value does not verify"),
    ("sha1.exe", corrupt, "its signature 0 is corrupt: its value does not verify"),
    ("tiny.exe", bytes, "it carries no signature"),
    ("nested.exe", lambda data: b"<!DOCTYPE html>\n<html></html>\n", "not a Windows executable"),
    ("nested.exe", lambda data: data[:-100], "it is cut short"),
    ("sha1.exe", retabled(lambda t: struct.pack("<I", len(t) + 4096) + t[4:] + b"A" * 4096),
     "bytes after its signature, in its certificate table"),
    ("sha1.exe", retabled(lambda t: t + t), "a second entry in its certificate table"),
    ("sha1.exe", retabled(lambda t: struct.pack("<I", len(t) + 4096) + t[4:]), "longer than"),
    ("sha1.exe", retabled(lambda t: t[:6] + b"\1\0" + t[8:]), "entry is of type 1, not"),
    ("sha1.exe", lambda data: data + b"tail", "4 bytes after its certificate table"),
    ("nested.exe", retabled(signed=lambda d, s: d["signer_infos"].append(s)), "has 2 signers"),
    ("sha1.exe", retabled(signed=lambda d, s: setitem(d, "certificates", None)), "not carry"),
    ("nested.exe", retabled(signed=lambda d, s: setitem(s, "sid", {
        "subject_key_identifier": d["certificates"][0].chosen.key_identifier})), None),
    ("sha1.exe", retabled(signed=lambda d, s: setitem(d["encap_content_info"], "content", None)),
     "holds no content"),
    ("sha1.exe", retabled(signed=lambda d, s: setitem(s, "digest_algorithm", {"algorithm": "md5"})),
     "its signature 0 is in a form this check cannot judge: the digest md5"),
    ("pss.exe", bytes, None),
])
def test_signatures_judged(signed, exe, change, why):
    (signed / "judged.exe").write_bytes(change((signed / exe).read_bytes()))
    refusal = signature.refusal(signed / "tiny.exe", signed / "judged.exe")
    if why:
        assert why in refusal
    else:
        assert refusal is None

X = hashlib.sha256(b"x").hexdigest()  # each file named below holds "x"
@pytest.mark.parametrize("text, read", [
    (f"{X}  a.zip\r\n{X} *b\r\n{X}  c \r\n{X}  d\r\r\n\r\n", ["a.zip", "b", "c ", "d\r"]),
    (f"\n# by hand\n  {X}  a.zip\n\nSHA256 (b (1).exe) = {X.upper()}", ["a.zip", "b (1).exe"]),
    (f"{X} a.zip\n{X}\tb.exe\n", ["a.zip", "b.exe"]),  # md5 -r's order
    (f"\\{X}  back\\\\slash\\n\n\\SHA256 (c\\r) = {X}\n", ["back\\slash\n", "c\r"]),
    (f"{X}  a.zip\n".encode("utf-16"), "it is UTF-16 text"),
    (f"{X}  a.zip\n{X[1:]}  b.exe\n", "line 2 is neither DIGEST  NAME nor SHA256 (NAME)"),
    (f"{X}  a.zip\n{X} b.exe\n", "line 2 mixes DIGEST NAME with DIGEST  NAME"),
    (f"{X}  a.zip\n{X} *a.zip\n", "line 2 names a.zip a second time"),
    (f"{X}  ../a.zip\n", "line 1 names '../a.zip', not a file beside SHA256SUMS"),
    (f"\\{X}  a\\t.zip\n", "line 1 has a NUL byte or an unknown escape"),
    ("\r\n# none\n", "it lists no file"),
])
def test_sha256sums_read_as_sha256sum_reads_them(tmp_path, text, read):
    data = text if isinstance(text, bytes) else text.encode()
    if isinstance(read, str):
        with pytest.raises(ValueError, match=re.escape(read)):
            rebuild.read_sums(data)
        return
    assert rebuild.read_sums(data) == dict.fromkeys(read, X)
    for name in read:  # and GNU sha256sum -c reads the same files, and no other line
        (tmp_path / name).write_bytes(b"x")
    subprocess.run(["sha256sum", "-c", "--strict", "--quiet"], input=data, cwd=tmp_path, check=True)

@pytest.mark.parametrize("left_out, listed", [
    ((), "app e lib pre prov"),  # the first alternative, a virtual package's provider, essentials
    (("lib",), "alt app e pre prov"), (("prov",), "virtual is not installed.")])
def test_the_packages_that_the_buildinfo_lists(left_out, listed):
    packages = {name: buildinfo.Package(name, "1", name == "e", provides.split(), buildinfo.names(
        depends)) for name, provides, depends in [("app", "", "lib | alt (>= 1), virtual:any"),
        ("lib", "", ""), ("alt", "", ""), ("prov", "virtual", ""), ("e", "", "pre"), ("pre", "", ""),
        ("wine64", "", "")] if name not in left_out}
    with pytest.raises(SystemExit, match=listed) if "." in listed else contextlib.nullcontext():
        assert buildinfo.closure(packages, ["app"]) == listed.split()

def test_the_buildinfo_lists_a_closed_set_one_relation_each(tmp_path):
    (tmp_path / "a.zip").write_bytes(b"x")
    made = subprocess.run([Path(buildinfo.__file__), "1", tmp_path / "a.zip"], capture_output=True,
                          text=True, env=dict(os.environ, SOURCE_DATE_EPOCH="1"), check=True)
    relations = BuildInfo(made.stdout.splitlines()).relations["installed-build-depends"]
    listed = {one["name"] for one, *more in relations if not more and one["version"][0] == "="}
    assert len(listed) == len(relations) > 100 and not listed & {"wine64", "googletest", "pytest"}
    arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout
    status = {p["Package"]: p for p in Packages.iter_paragraphs(open("/var/lib/dpkg/status"))
              if p["Status"] == "install ok installed" and p["Architecture"] in (arch.strip(), "all")}
    named = listed | {one["name"] for name in listed for one, in status[name].relations["provides"]}
    left = [f"{name}: {field} {[one['name'] for one in relation]}" for name in listed for field in
            ("pre-depends", "depends") for relation in status[name].relations[field]
            if not {one["name"] for one in relation} & named]
    assert left == [], "Not in the set, though a package of it depends on them:\n" + "\n".join(left)
