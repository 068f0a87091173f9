#!/usr/bin/python3
"""Usage: release/rebuild.sh [DIR]

Rebuilds the release in DIR (by default build/release: its SHA256SUMS, its
.buildinfo and any of its files) from the recorded commit, in a scratch clone,
with its exes' signatures if they carry any, and compares it byte for byte.
Exits 0 where it is the same, 1 where it differs, 2 where it cannot judge.
"""
import collections, hashlib, os, re, shutil, subprocess, sys, tempfile, zipfile, zlib
from pathlib import Path

from debian.deb822 import Deb822

import signature
from verdict import UNJUDGED, Failure, at, first_difference

TOP = Path(__file__).resolve().parent.parent
EXES = {"list-capture-devices.exe": "build/windows-release/list-capture-devices.exe",
        "list-capture-devices-x86.exe": "build/windows-x86-release/list-capture-devices-x86.exe"}
NEEDED = ("Commit", "Version", "Source-Date-Epoch", "Build-Distribution", "Build-Architecture")
Download = collections.namedtuple("Download", "directory sums buildinfo recorded info signed")

# The lines of SHA256SUMS that GNU sha256sum -c reads, as it reads them:
# 5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03  list-capture-devices.exe
# 5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03 *list-capture-devices.exe
# 5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03 list-capture-devices.exe
# (text mode, binary mode, the same on Debian; and md5 -r's order, with one space or a tab)
SUM = re.compile(rb"([0-9a-fA-F]{64})[ \t]([ *]?)(.+)")
# SHA256 (x.exe) = 5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03 (--tag's)
TAGGED = re.compile(rb"SHA256 ?\((.+)\)[ \t]*=[ \t]*([0-9a-fA-F]{64})")
# back\\slash, line\nbreak, carriage\rreturn: in a name whose line begins with a backslash
ESCAPE = re.compile(rb"\\(.?)")
UNESCAPED = {b"\\": b"\\", b"n": b"\n", b"r": b"\r"}

def read_sums(data):
    """{name: digest} of the bytes of a SHA256SUMS, read as sha256sum -c reads them (a line may
    end in CRLF; empty lines and those that begin with # are skipped); a Failure that says
    why where a line is one that sha256sum -c warns is improperly formatted, or reads otherwise."""
    if data[:2] in (b"\xff\xfe", b"\xfe\xff"):
        raise Failure("it is UTF-16 text, which sha256sum -c does not read: save it as UTF-8")
    sums, forms = {}, set()
    for number, line in enumerate(data.split(b"\n"), 1):
        line = line.removesuffix(b"\r")
        if line == b"" or line.startswith(b"#"):
            continue
        line = line.lstrip(b" \t")
        escaped = line.startswith(b"\\")
        line = line[1:] if escaped else line
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

def git(*args, **options):
    return subprocess.run(["git", *args], capture_output=True, check=True, **options).stdout

# An entry of Installed-Build-Depends: "base-files (= 12.4+deb12u11)," (older releases: no comma)
ENTRY = re.compile(r"([^\s,(]+) \(= ([^\s)]+)\)")

def machine(buildinfo):
    """{Build-Distribution, Build-Architecture and each package: its value} of a .buildinfo."""
    info = Deb822(buildinfo.splitlines())
    found = {field: info.get(field) for field in ("Build-Distribution", "Build-Architecture")}
    return found | dict(ENTRY.findall(info.get("Installed-Build-Depends", "")))

def differences(recorded, here):
    """How the rebuilding machine differs from the recorded one, as the two .buildinfo say."""
    was, now = machine(recorded), machine(here)
    return [f"  {name}: recorded {was.get(name, 'none')}, here {now.get(name, 'none')}"
            for name in sorted(was.keys() | now.keys()) if was.get(name) != now.get(name)]

def explain(directory, sums, rebuilt, kept):
    """diffoscope's report on each file that the build makes and that differs, kept in kept, and
    its first lines: for the zip, they name the member, and for an exe, the section or field."""
    names = [name for name in made(sums) if (directory / name).is_file() and (rebuilt / name)
             .is_file() and (directory / name).read_bytes() != (rebuilt / name).read_bytes()]
    # Installed only now: a rebuild in a machine of the recorded packages alone may be offline.
    sys.stdout.flush()
    env = dict(os.environ, release_build="yes", extra_packages="diffoscope-minimal binutils unzip")
    if names and subprocess.run(["bash", "-ec", "source scripts/setup.sh"], cwd=TOP, stdout=2,
                                env=env).returncode:
        print("diffoscope, which says where files differ, is not installed (above).")
        return
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
    """The exes, as downloaded or else as the zip holds them, put in folder
    (by name: nothing that a download names is run): {exe: its signers}."""
    found, right = {}, None
    if zip_name and (directory / zip_name).is_file():
        # Its exes are the release's only where it is the zip that SHA256SUMS lists.
        right = hashlib.sha256((directory / zip_name).read_bytes()).hexdigest() == sums[zip_name]
    folder.mkdir(exist_ok=True)
    for exe in EXES:
        source = directory / exe
        if source.is_file():
            shutil.copy(source, folder)
        elif right is not None:
            source = directory / zip_name
            said = "its digest is " + ("the one SHA256SUMS gives." if right else
                                       "not the one SHA256SUMS gives: download it again.")
            try:
                with zipfile.ZipFile(source) as archive:
                    member = archive.getinfo(exe) if exe in archive.namelist() else None
                    if member and member.flag_bits & 1:  # the release's zip encrypts nothing
                        raise Failure(f"{source}: its {exe} is encrypted; {said}", UNJUDGED)
                    data = archive.read(member) if member else None
            except (zipfile.BadZipFile, zlib.error, EOFError, NotImplementedError) as why:
                raise Failure(f"{source}: it cannot be read as a zip ({why}); {said}", UNJUDGED)
            if not right:
                raise Failure(f"{source}: {said}", UNJUDGED)
            if data is None:
                continue
            (folder / exe).write_bytes(data)
        else:
            continue
        try:
            who = found[exe] = signature.signers((folder / exe).read_bytes())
        except Failure as why:  # a web page saved under its name, say
            raise Failure(f"{exe}, from {source}: {why}. Download it again.", UNJUDGED)
        if len(who) > 1:  # nothing checked who they are: Windows judges that
            print(f"{exe} carries signatures that name {', '.join(who)} as their signers.")
        elif who:
            print(f"{exe} carries a signature that names {who[0]} as its signer.")
        else:
            print(f"{exe} carries no signature.")
    return found

def compare(directory, sums, rebuilt):
    """Says of each file of SHA256SUMS, and of it, whether the rebuild is the same; if all are,
    and if SHA256SUMS is to the byte (the rebuild's, in another form, lists the same digests).
    The .buildinfo, and its line, may differ with the machine alone: they do not count."""
    same = True
    for name, digest in sums.items():
        if not (rebuilt / name).is_file():  # "my notes.txt", say, which no rebuild gives
            print(f"{name}: the build makes no file of that name")
            same = False
            continue
        ours = (rebuilt / name).read_bytes()
        if (directory / name).is_file():
            offset = first_difference((directory / name).read_bytes(), ours)
            right = offset is None
            print(f"{name}: " + ("the same to the byte" if right else f"differs from {at(offset)}"))
        else:  # its line in SHA256SUMS stands for it
            right = hashlib.sha256(ours).hexdigest() == digest
            print(f"{name}: not in {directory}; the rebuild" + (
                " has the digest that SHA256SUMS gives" if right
                else "'s digest is not the one SHA256SUMS gives"))
        same = same and (right or name.endswith(".buildinfo"))
    # A SHA256SUMS saved with CRLF line ends, say, is not the release's bytes, though sha256sum
    # -c reads the same digests from it: it is said so, and the rebuild's files still count.
    theirs, ours = (directory / "SHA256SUMS").read_bytes(), (rebuilt / "SHA256SUMS").read_bytes()
    offset = first_difference(theirs, ours)
    if offset is None:
        print("SHA256SUMS: the same to the byte")
    elif read_sums(ours) == sums:
        lines = [line.removesuffix(b"\r") for line in theirs.split(b"\n")]
        how = "in form"
        if [line for line in lines if line] == ours.splitlines():
            how = "in its line ends and empty lines only"
        print("SHA256SUMS: lists the rebuild's digests of the same files, but its own bytes "
              f"differ from the rebuild's SHA256SUMS {how}, from {at(offset)}")
    elif made(read_sums(ours)) == made(sums):
        print("SHA256SUMS: lists the rebuild's digests of the files that the build makes; the "
              f".buildinfo's differs, from {at(offset)}")
    else:
        print(f"SHA256SUMS: differs from {at(offset)}")
        same = False
    return same, offset is None

def made(sums):  # the lines of SHA256SUMS for the files that the build makes
    return {name: digest for name, digest in sums.items() if not name.endswith(".buildinfo")}

def read_download(directory, folder):
    """The release in directory as a rebuild reads it: its SHA256SUMS, its .buildinfo and its
    exes, put in folder; a Failure (could not judge) that says what is missing or unreadable."""
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
    try:
        recorded = (directory / name).read_text()
    except UnicodeDecodeError:  # not text at all: not a release's either
        recorded = ""
    info = Deb822(recorded.splitlines())
    if info.get("Source") != "list-capture-devices" or not set(NEEDED) <= set(info):
        raise Failure(f"{directory / name} is not the build information of a release of "
                      "list-capture-devices.", UNJUDGED)
    print(f"{name}: list-capture-devices {info['Version']}, commit {info['Commit']}, "
          f"SOURCE_DATE_EPOCH {info['Source-Date-Epoch']}, built on "
          f"{info['Build-Distribution']} {info['Build-Architecture']}.")
    zip_name = next((name for name in sums if name.endswith(".zip")), None)
    exes = take_exes(directory, sums, zip_name, folder)
    signed = any(exes.values())
    # A build gives no signature: without them, a signed release's rebuild would differ, and
    # say nothing of why.
    if "Signed-Exes" in info and not signed:
        raise Failure(f"{name} records a release of signed exes, and no signed exe, nor "
                      f"{zip_name or 'the zip'}, is in {directory}: put the signed exes, or the "
                      "zip, beside SHA256SUMS.", UNJUDGED)
    if signed and len(exes) < len(EXES):
        raise Failure(f"Not both exes, nor {zip_name or 'the zip'}, are in {directory}: a signed "
                      "release is rebuilt with the signatures of both exes, so put the exes, or "
                      "the zip, beside SHA256SUMS.", UNJUDGED)
    return Download(directory, sums, name, recorded, info, signed)

def refuse(tree, signed):
    """A Failure that says why the signed exes are not tree's build plus intact signatures, as
    package.sh found (its status 3); not judged where none is refused but some cannot be judged."""
    said, statuses = [], []
    for exe, build in EXES.items():
        try:
            signature.judge(tree / build, signed / exe)
        except Failure as why:
            said.append(f"Refused: {exe} is not this build plus a signature: {why}.")
            statuses.append(why.status)
    if said:
        raise Failure("\n".join(said + ["The signed exes named above are not this commit's build "
                                        "plus a signature, whoever signed them."]), min(statuses))

def rebuild(download, scratch, named):
    """The commit that download's .buildinfo records, built in a clone in scratch with the signed
    exes there: the clone; a Failure that says why not."""
    info, tree = download.info, scratch / "list-capture-devices"
    try:
        git("clone", "--quiet", "--no-checkout", TOP, tree)
    except subprocess.CalledProcessError as failed:
        raise Failure(f"git clone {TOP} failed: {failed.stderr.decode().strip()}", UNJUDGED)
    try:
        git("-C", tree, "checkout", "--quiet", "--detach", info["Commit"])
    except subprocess.CalledProcessError:
        raise Failure(f"This checkout does not have commit {info['Commit']}: fetch it (its tag is "
                      f"v{info['Version']}) and run this again.", UNJUDGED)
    if "Uncommitted-Changes" in info:  # made by package.sh here, before the changes were committed
        if named or git("-C", TOP, "rev-parse", "HEAD").decode().strip() != info["Commit"]:
            raise Failure("The release was built with uncommitted changes: no commit rebuilds it.",
                          UNJUDGED)
        git("-C", tree, "apply", "--index", input=git("-C", TOP, "diff", "--binary", "HEAD"))
    signed = ["--signed", str(scratch / "signed")] if download.signed else []
    print(f"Rebuilding commit {info['Commit']} in {tree}"
          + (", with the signatures of its exes..." if signed else "..."), flush=True)
    # From here on, the scratch tree is kept where anything fails, for a look.
    with open(scratch / "rebuild.log", "wb") as out:
        epoch = info["Source-Date-Epoch"]
        built = subprocess.run(["bash", tree / "release/package.sh", *signed], stdout=out,
                               stderr=out, env=dict(os.environ, SOURCE_DATE_EPOCH=epoch,
                                                    REPOSITORY_URL=info.get("Repository", "")))
    if signed and built.returncode == 3:  # package.sh's refusal of the signed exes
        refuse(tree, scratch / "signed")
    if built.returncode:
        lines = (scratch / "rebuild.log").read_text(errors="replace").splitlines()
        raise Failure("\n".join(lines[-40:] + [f"The rebuild failed: its log is {out.name}."]),
                      UNJUDGED)
    return tree

def judge(download, tree):
    """Says how this machine and the rebuild in tree differ from download's; a Failure where the
    rebuild differs."""
    directory, buildinfo, rebuilt = download.directory, download.buildinfo, tree / "build/release"
    changed = differences(download.recorded, (rebuilt / buildinfo).read_text())
    print("\n".join(["This machine differs from the one that built the release:", *changed])
          if changed else "This machine has the recorded Debian release and every recorded "
          "package at its recorded version.")
    same, to_the_byte = compare(directory, download.sums, rebuilt)
    if not same:
        explain(directory, download.sums, rebuilt, tree / "build")
        raise Failure(f"The rebuild differs from {directory}: it is kept in {rebuilt}." + (
            " It may differ for this machine's differences alone: RELEASING.md says how to make "
            f"the recorded machine with debootsnap --buildinfo {buildinfo}." if changed else ""))
    if to_the_byte:
        print(f"The rebuild is the same to the byte as {directory}.")
    elif changed:  # as the .buildinfo records: it, and its line, differ
        print(f"Each file that the build makes is the same to the byte as in {directory}, "
              "whatever this machine's differences above: the release is what its source builds.")
    else:
        print(f"The rebuild is the same to the byte as each file of {directory} that SHA256SUMS "
              "lists, and gives the digests that it lists; its SHA256SUMS is not the rebuild's "
              "bytes (above).")

if __name__ == "__main__":
    directory = Path(sys.argv[1]) if sys.argv[1:] else TOP / "build/release"
    scratch = Path(tempfile.mkdtemp(prefix="list-capture-devices-rebuild."))
    try:
        if not (TOP / ".git").exists():  # a release's source archive, say
            raise Failure(f"{TOP} is not a git clone: a release is rebuilt from the commit that "
                          "its .buildinfo records, so run this in a clone of list-capture-devices.",
                          UNJUDGED)
        download = read_download(directory, scratch / "signed")
        judge(download, rebuild(download, scratch, named=len(sys.argv) > 1))
    except (Failure, OSError) as failure:
        if not (scratch / "rebuild.log").exists():  # else kept for a look
            shutil.rmtree(scratch)
        sys.stdout.flush()  # what was said before it comes first
        if isinstance(failure, OSError):  # a file of the folder that cannot be read as one
            failure = Failure(f"release/rebuild.py: {failure}", UNJUDGED)
        print(failure, file=sys.stderr)
        sys.exit(failure.status)
    shutil.rmtree(scratch)
