#!/usr/bin/python3
"""Usage: release/rebuild.sh [DIR]

Rebuilds the release in DIR (by default build/release: its SHA256SUMS, its .buildinfo and any of
its files) from the recorded commit, in a scratch clone, with its exes' signatures if they carry
any, and compares it byte for byte. Exits 0 the same, 1 it differs, 2 it cannot judge."""
import collections, hashlib, os, re, shutil, subprocess, sys, tempfile, zipfile, zlib
from pathlib import Path

import buildinfo, signature, verdict
from verdict import UNJUDGED, Failure, at, first_difference, output

TOP = Path(__file__).resolve().parent.parent
EXES = ("list-capture-devices.exe", "list-capture-devices-x86.exe")
Download = collections.namedtuple("Download", "directory sums buildinfo recorded signed")

# sha256sum -c's lines: binary mode's, text mode's ("  ", the same on Debian), md5 -r's (" ", tab)
# 5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03 *list-capture-devices.exe
SUM = re.compile(rb"([0-9a-fA-F]{64})[ \t]([ *]?)(.+)")
# SHA256 (x.exe) = 5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03 (--tag's)
TAGGED = re.compile(rb"SHA256 ?\((.+)\)[ \t]*=[ \t]*([0-9a-fA-F]{64})")
# back\\slash, line\nbreak, carriage\rreturn: in a name whose line begins with a backslash
ESCAPE = re.compile(rb"\\(.?)")
UNESCAPED = {b"\\": b"\\", b"n": b"\n", b"r": b"\r"}

def read_sums(data):
    """{name: digest} of the bytes of a SHA256SUMS, read as sha256sum -c reads them (CRLF, empty
    and # lines too); a Failure where sha256sum -c warns of a line, or reads it otherwise."""
    if data[:2] in (b"\xff\xfe", b"\xfe\xff"):
        raise Failure("it is UTF-16 text, which sha256sum -c does not read: save it as UTF-8")
    sums, forms = {}, set()
    for number, line in enumerate(data.split(b"\n"), 1):
        line = line.removesuffix(b"\r")
        if line == b"" or line.startswith(b"#"):
            continue
        line = line.lstrip(b" \t")
        escaped = line.startswith(b"\\")
        line = line.removeprefix(b"\\")
        tagged, plain = TAGGED.fullmatch(line), SUM.fullmatch(line)
        if tagged:
            name, digest = tagged.group(1, 2)
        elif plain:
            digest, mode, name = plain.groups()
            forms.add("DIGEST NAME" if mode == b"" else "DIGEST  NAME")
        else:
            raise Failure(f"line {number} is neither DIGEST  NAME nor SHA256 (NAME) = DIGEST "
                          "(sha256sum -c warns that it is improperly formatted)")
        if len(forms) > 1:  # sha256sum -c reads the later lines' names otherwise, or not at all
            raise Failure(f"line {number} mixes DIGEST NAME with DIGEST  NAME lines, which "
                          "sha256sum -c does not read as they are written")
        if escaped:  # an unknown escape, or a backslash that ends the name, is refused below
            name = ESCAPE.sub(lambda escape: UNESCAPED.get(escape[1], b"\0"), name)
        if b"\0" in name:
            raise Failure(f"line {number} has a NUL byte or an unknown escape in its name")
        try:
            name = name.decode()
        except UnicodeDecodeError:
            raise Failure(f"line {number} names a file in bytes that are not UTF-8")
        if "/" in name or name in (".", ".."):  # a release's files lie beside its SHA256SUMS
            raise Failure(f"line {number} names {name!r}, not a file beside SHA256SUMS")
        if name in sums:
            raise Failure(f"line {number} names {name} a second time")
        sums[name] = digest.decode().lower()
    if not sums:
        raise Failure("it lists no file")
    return sums

def made(sums):  # the lines of SHA256SUMS for the files that the build makes
    return {name: digest for name, digest in sums.items() if not name.endswith(".buildinfo")}

def explain(directory, sums, rebuilt, kept):
    """Each differing file's diffoscope report, kept in kept, and its lines that name where."""
    names = [name for name in made(sums) if (directory / name).is_file() and (rebuilt / name)
             .is_file() and (directory / name).read_bytes() != (rebuilt / name).read_bytes()]
    if names and not shutil.which("diffoscope"):  # rebuild.sh installs it, where apt-get can
        print("diffoscope, which says where files differ, is not installed here: "
              "RELEASING.md#the-recorded-machine says how to run it on them.")
        return
    sys.stdout.flush()
    for name in names:
        report = kept / f"{name}.diffoscope.txt"
        subprocess.run([TOP / "release/diffoscope-exes.py", "--text", report, directory / name,
                        rebuilt / name], stdout=subprocess.DEVNULL)
        if not report.is_file():  # diffoscope failed, and said why
            continue
        # --- a/x.zip; +++ b/x.zip; ├── x.exe; │ ├── objdump; │ │ -.text: ... (nested)
        outline = [line for line in report.read_text().splitlines()
                   if re.match(r"(│ )*(├── |[-+])", line)]
        print(f"{name}: diffoscope's report is {report}:", *outline[:12], sep="\n    ")

def take_exes(directory, sums, zip_name, folder):
    """{exe: its signers, whom Windows judges} of the exes, downloaded or zipped, put in folder."""
    found, zipped = {}, directory / str(zip_name)
    folder.mkdir(exist_ok=True)
    for exe in EXES:
        source = directory / exe
        if source.is_file():
            shutil.copy(source, folder)
        elif zip_name and zipped.is_file():
            source = zipped
            if hashlib.sha256(zipped.read_bytes()).hexdigest() != sums[zip_name]:
                raise Failure(f"{zipped}: its digest is not the one SHA256SUMS gives: download "
                              "it again.", UNJUDGED)
            try:
                with zipfile.ZipFile(zipped) as archive:
                    if exe not in archive.namelist():
                        continue
                    (folder / exe).write_bytes(archive.read(exe))
            # RuntimeError: an encrypted member (the release's zip encrypts nothing)
            except (zipfile.BadZipFile, zlib.error, EOFError, NotImplementedError,
                    RuntimeError) as why:
                raise Failure(f"{zipped}: it cannot be read as a zip ({why}), though its digest "
                              "is the one SHA256SUMS gives.", UNJUDGED)
        else:
            continue
        try:
            who = found[exe] = signature.signers((folder / exe).read_bytes())
        except Failure as why:  # a web page saved under its name, say
            raise Failure(f"{exe}, from {source}: {why}. Download it again.", UNJUDGED)
        if who:  # names hold commas of their own
            print(f"{exe} carries signatures that name {' and '.join(who)} as their signers.")
        else:
            print(f"{exe} carries no signature.")
    return found

def compare(directory, sums, rebuilt):
    """(Whether each listed file is the rebuild's to the byte, and SHA256SUMS lists the rebuild's
    digests of what the build makes; whether SHA256SUMS is the rebuild's to the byte), said."""
    same = True
    for name in sums:
        if not (directory / name).is_file():
            print(f"{name}: not in {directory}; its line in SHA256SUMS stands for it")
        elif (rebuilt / name).is_file():
            theirs, ours = (directory / name).read_bytes(), (rebuilt / name).read_bytes()
            offset = first_difference(theirs, ours)
            print(f"{name}: " + ("the same to the byte" if offset is None
                                 else f"differs from {at(offset)}"))
            same = same and (offset is None or name.endswith(".buildinfo"))
    theirs, ours = (directory / "SHA256SUMS").read_bytes(), (rebuilt / "SHA256SUMS").read_bytes()
    listed, offset = made(read_sums(ours)), first_difference(theirs, ours)
    for name in sorted(made(sums).keys() | listed.keys()):
        if name not in listed:  # "my notes.txt", say, which no rebuild gives
            print(f"{name}: the build makes no file of that name")
        elif sums.get(name) != listed[name]:
            print(f"{name}: SHA256SUMS gives {sums.get(name, 'no digest')}; the rebuild, "
                  f"{listed[name]}")
    if offset is None:
        print("SHA256SUMS: the same to the byte")
    elif listed == made(sums):  # with CRLF line ends, say, or another machine's .buildinfo
        print("SHA256SUMS: lists the rebuild's digests of the files that the build makes, but "
              f"its bytes differ from the rebuild's from {at(offset)}")
    else:
        print(f"SHA256SUMS: differs from {at(offset)}")
    return same and listed == made(sums), offset is None

def read_download(directory, folder):
    """The release in directory, its exes put in folder; a Failure (not judged) naming a lack."""
    if not directory.is_dir():
        raise Failure(f"There is no folder {directory}.", UNJUDGED)
    if not (directory / "SHA256SUMS").is_file():
        raise Failure(f"No SHA256SUMS in {directory}.", UNJUDGED)
    try:
        sums = read_sums((directory / "SHA256SUMS").read_bytes())
    except Failure as why:
        raise Failure(f"{directory / 'SHA256SUMS'}: {why}.", UNJUDGED)
    name = next((name for name in sums if name.endswith(".buildinfo")), "*.buildinfo")
    if not (directory / name).is_file():
        raise Failure(f"No build information in {directory}: put the release's {name} beside "
                      "its SHA256SUMS.", UNJUDGED)
    recorded = buildinfo.read(directory / name)
    print(f"{name}: list-capture-devices {recorded.version}, commit {recorded.commit}, "
          f"SOURCE_DATE_EPOCH {recorded.epoch}, built on {recorded.distribution} "
          f"{recorded.architecture}.")
    zip_name = next((name for name in sums if name.endswith(".zip")), None)
    exes = take_exes(directory, sums, zip_name, folder)
    signed = any(exes.values())
    if recorded.signed and not signed:  # else its rebuild would differ, and not say why
        raise Failure(f"{name} records a release of signed exes, and no exe that {directory} "
                      f"holds, itself or in {zip_name or 'the zip'}, carries a signature: put the "
                      "signed exes, or the zip, beside SHA256SUMS.", UNJUDGED)
    if signed and len(exes) < len(EXES):  # a signed release's build has both signatures
        raise Failure(f"Not both exes, nor {zip_name or 'the zip'}, are in {directory}: put the "
                      "exes, or the zip, beside SHA256SUMS.", UNJUDGED)
    return Download(directory, sums, name, recorded, signed)

def rebuild(download, scratch, named):
    """The clone in scratch of the commit that download records, built with the signed exes."""
    recorded, tree = download.recorded, scratch / "list-capture-devices"
    output("git", "clone", "--quiet", "--no-checkout", TOP, tree)
    try:
        output("git", "-C", tree, "checkout", "--quiet", "--detach", recorded.commit)
    except Failure:
        raise Failure(f"This checkout does not have commit {recorded.commit}: fetch it (its tag "
                      f"is v{recorded.version}) and run this again.", UNJUDGED)
    if recorded.uncommitted:  # made by package.sh here, before the changes were committed
        if named or output("git", "-C", TOP, "rev-parse", "HEAD").strip() != recorded.commit:
            raise Failure("The release was built with uncommitted changes: no commit rebuilds it.",
                          UNJUDGED)
        output("git", "-C", tree, "apply", "--index",
               input=output("git", "-C", TOP, "diff", "--binary", "HEAD"))
    signed = ["--signed", str(scratch / "signed")] if download.signed else []
    print(f"Rebuilding commit {recorded.commit} in {tree}"
          + (", with the signatures of its exes..." if signed else "..."), flush=True)
    with open(scratch / "rebuild.log", "wb") as out:  # kept, with the tree, where anything fails
        built = subprocess.run(["bash", tree / "release/package.sh", *signed], stdout=out,
                               stderr=out, env=dict(os.environ, SOURCE_DATE_EPOCH=recorded.epoch,
                                                    REPOSITORY_URL=recorded.repository))
    if built.returncode:
        log = (scratch / "rebuild.log").read_text(errors="replace").splitlines()[-40:]
        if signed and built.returncode == 3:  # its signature check's words, of the user's folder
            said = [line.replace(signed[1], str(download.directory)) for line in log
                    if line.startswith("Refused: ")]
            raise Failure("\n".join(said + ["The signed exes are not this commit's build plus"
                                            f" a signature: its log is {out.name}."]))
        raise Failure("\n".join(log + [f"The rebuild failed: its log is {out.name}."]), UNJUDGED)
    return tree

def judge(download, tree):
    """Says how this machine and tree's rebuild differ from download's; a Failure if it does."""
    directory, rebuilt = download.directory, tree / "build/release"
    was, now = [{"Debian": one.distribution, "architecture": one.architecture, **one.packages}
                for one in (download.recorded, buildinfo.read(rebuilt / download.buildinfo))]
    changed = [f"  {name}: recorded {was.get(name, 'none')}, here {now.get(name, 'none')}"
               for name in sorted(was.keys() | now.keys()) if was.get(name) != now.get(name)]
    print("\n".join(["This machine differs from the one that built the release:", *changed])
          if changed else "This machine has the recorded Debian release and every recorded "
          "package at its recorded version.")
    same, to_the_byte = compare(directory, download.sums, rebuilt)
    if not same:
        explain(directory, download.sums, rebuilt, tree / "build")
        raise Failure(f"The rebuild differs from {directory}: it is kept in {rebuilt}." + (
            " It may differ for this machine's differences alone: rebuild in the machine that "
            f"{download.buildinfo} records, which debootsnap or release/machine.py makes "
            "(RELEASING.md#the-recorded-machine)." if changed else ""))
    if to_the_byte:
        print(f"The rebuild is the same to the byte as {directory}.")
    else:  # its .buildinfo, where this machine differs, or SHA256SUMS's form (above)
        print(f"Each file that the build makes is the same to the byte as in {directory}, or has "
              "the digest that its SHA256SUMS gives: the release is what its source builds.")

def main(arguments):
    if len(arguments) > 1:
        raise Failure(__doc__.split("\n\n")[0], UNJUDGED)
    if not (TOP / ".git").exists():  # a release's source archive, say
        raise Failure(f"{TOP} is not a git clone: a release is rebuilt from the commit that its "
                      ".buildinfo records, so run this in a clone of list-capture-devices.",
                      UNJUDGED)
    directory = Path(arguments[0]) if arguments else TOP / "build/release"
    scratch = Path(tempfile.mkdtemp(prefix="list-capture-devices-rebuild."))
    try:
        download = read_download(directory, scratch / "signed")
        judge(download, rebuild(download, scratch, named=bool(arguments)))
    except (Failure, OSError):
        if not (scratch / "rebuild.log").exists():  # else kept for a look
            shutil.rmtree(scratch)
        raise
    shutil.rmtree(scratch)
    return 0

if __name__ == "__main__":
    verdict.run(main)
