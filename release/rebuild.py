#!/usr/bin/python3
"""Usage: release/rebuild.sh [DIR]

Rebuilds the release in DIR (by default build/release: its SHA256SUMS, its
.buildinfo and any of its files) from the recorded commit, in a scratch clone,
with its exes' signatures if they carry any, and compares it byte for byte.
"""
import difflib, hashlib, os, shutil, subprocess, sys, tempfile, zipfile
from pathlib import Path

from debian.deb822 import Deb822

from signature import first_difference, signers

TOP = Path(__file__).resolve().parent.parent
EXES = ("list-capture-devices.exe", "list-capture-devices-x86.exe")

def git(*args, **options):
    return subprocess.run(["git", *args], capture_output=True, check=True, **options).stdout

def give_up(message, status=1, scratch=None):
    if scratch:
        shutil.rmtree(scratch)
    sys.stdout.flush()  # what was said before it comes first
    print(message, file=sys.stderr)
    sys.exit(status)

def differences(tree, version, epoch, recorded):
    """How this machine differs from the recorded one, as that commit's build information says."""
    script = tree / "release/buildinfo.py"
    command = [script] if script.exists() else ["bash", tree / "release/buildinfo.sh"]
    made = subprocess.run(command + [version], capture_output=True, text=True,
                          env=dict(os.environ, SOURCE_DATE_EPOCH=epoch))
    if made.returncode:
        return print("This machine cannot tell how it differs from the one that built the "
                     f"release: the commit's {command[-1].name} says\n{made.stderr.rstrip()}")
    here = made.stdout
    if here == recorded:
        return print("This machine has the recorded Debian release and every recorded package "
                     "at its recorded version.")
    print("This machine differs from the one that built the release, so the rebuild may differ "
          "for that alone:")
    for line in difflib.unified_diff(recorded.splitlines(), here.splitlines(), n=0, lineterm=""):
        if line[:1] in "-+" and line[:3] not in ("---", "+++"):
            print(("  recorded: " if line[0] == "-" else "  here:     ") + line[1:])
    print("Debian's snapshot archive keeps every version of every Debian package: install the "
          "recorded ones from it to rebuild exactly.")

def take_exes(directory, zip_name, folder):
    """The exes, as downloaded or else as the zip holds them, put in folder
    (by name: nothing that a download names is run): {exe: its signers}."""
    found = {}
    for exe in EXES:
        source = directory / exe
        try:
            if source.is_file():
                shutil.copy(source, folder)
            elif zip_name:
                source = directory / zip_name
                with zipfile.ZipFile(source) as archive:
                    (folder / exe).write_bytes(archive.read(exe))
            found[exe] = signers((folder / exe).read_bytes())
        except (OSError, KeyError, zipfile.BadZipFile):
            continue  # not there
        except ValueError as why:  # a web page saved under its name, say
            raise ValueError(f"{exe}, from {source}: {why}. Download it again.")
        who = found[exe]
        print(f"{exe} carries " + (f"a signature by {', '.join(who)}." if who else "no signature."))
    return found

def compare(directory, sums, rebuilt):
    """Says of each file of SHA256SUMS, and of it, whether the rebuild is the same; if all are."""
    same = True
    for name, digest in list(sums.items()) + [("SHA256SUMS", None)]:
        ours = (rebuilt / name).read_bytes() if (rebuilt / name).is_file() else b""
        if (directory / name).is_file():
            offset = first_difference((directory / name).read_bytes(), ours)
            print(f"{name}: " + ("the same to the byte" if offset is None
                                 else f"differs from offset {offset} (0x{offset:x})"))
            same = same and offset is None
        else:  # its line in SHA256SUMS stands for it
            right = hashlib.sha256(ours).hexdigest() == digest
            print(f"{name}: not in {directory}; the rebuild" + (
                " has the digest that SHA256SUMS gives" if right
                else "'s digest is not the one SHA256SUMS gives"))
            same = same and right
    return same

def rebuild(directory, named):
    try:
        lines = (directory / "SHA256SUMS").read_text().splitlines()
        sums = {name.lstrip(" *"): digest
                for digest, name in (line.split(" ", 1) for line in lines)}
    except (OSError, ValueError):
        give_up(f"No SHA256SUMS in {directory}.", 2)
    buildinfo = next((name for name in sums if name.endswith(".buildinfo")), "*.buildinfo")
    if not (directory / buildinfo).is_file():
        give_up(f"No build information in {directory}: put the release's {buildinfo} beside its "
                "SHA256SUMS.", 2)
    try:
        recorded = (directory / buildinfo).read_text()
    except UnicodeDecodeError:  # not text at all: not a release's either
        recorded = ""
    info = Deb822(recorded.splitlines())
    fields = {"Commit", "Version", "Source-Date-Epoch", "Build-Distribution", "Build-Architecture"}
    if info.get("Source") != "list-capture-devices" or not fields <= set(info):
        give_up(f"{directory / buildinfo} is not the build information of a release of "
                "list-capture-devices.", 2)
    commit, version, epoch = info["Commit"], info["Version"], info["Source-Date-Epoch"]
    print(f"{buildinfo}: list-capture-devices {version}, commit {commit}, SOURCE_DATE_EPOCH "
          f"{epoch}, built on {info['Build-Distribution']} {info['Build-Architecture']}.")

    scratch = Path(tempfile.mkdtemp(prefix="list-capture-devices-rebuild."))
    tree = scratch / "list-capture-devices"
    git("clone", "--quiet", "--no-checkout", TOP, tree)
    try:
        git("-C", tree, "checkout", "--quiet", "--detach", commit)
    except subprocess.CalledProcessError:
        give_up(f"This checkout does not have commit {commit}: fetch it (its tag is v{version}) "
                "and run this again.", 1, scratch)
    if "Uncommitted-Changes" in info:  # made by package.sh here, before the changes were committed
        if named or git("-C", TOP, "rev-parse", "HEAD").decode().strip() != commit:
            give_up("The release was built with uncommitted changes: no commit rebuilds it.", 1,
                    scratch)
        git("-C", tree, "apply", "--index", input=git("-C", TOP, "diff", "--binary", "HEAD"))
    differences(tree, version, epoch, recorded)
    zip_name = next((name for name in sums if name.endswith(".zip")), None)
    (scratch / "signed").mkdir()
    try:
        found = take_exes(directory, zip_name, scratch / "signed")
    except ValueError as error:
        give_up(str(error), 2, scratch)
    signed = ["--signed", str(scratch / "signed")] if any(found.values()) else []
    if signed and len(found) < len(EXES):
        give_up(f"Not both exes, nor {zip_name or 'the zip'}, are in {directory}: a signed release "
                "is rebuilt with the signatures of both exes, so put the exes, or the zip, beside "
                "SHA256SUMS.", 2, scratch)

    # From here on, the scratch tree is kept where anything fails, for a look.
    print(f"Rebuilding commit {commit} in {tree}"
          + (", with the signatures of its exes..." if signed else "..."), flush=True)
    log = scratch / "rebuild.log"
    with open(log, "wb") as out:
        built = subprocess.run(["bash", tree / "release/package.sh", *signed], stdout=out,
                               stderr=out, env=dict(os.environ, SOURCE_DATE_EPOCH=epoch))
    lines = log.read_text(errors="replace").splitlines()
    refused = [line for line in lines if line.startswith("Refused: ")]
    if signed and built.returncode == 3 and refused:  # signature.py's refusal, not another 3
        give_up("\n".join([line.replace(signed[1] + "/", "") for line in refused]
                          + ["The signed exes named above are not this commit's build plus a "
                             "signature, whoever signed them."]))
    if built.returncode:
        give_up("\n".join(lines[-40:] + [f"The rebuild failed: its log is {log}."]))
    if not compare(directory, sums, tree / "build/release"):
        give_up(f"The rebuild differs from {directory}: it is kept in {tree}/build/release.")
    print(f"The rebuild is the same to the byte as {directory}.")
    shutil.rmtree(scratch)

if __name__ == "__main__":
    try:
        directory = Path(sys.argv[1]) if sys.argv[1:] else TOP / "build/release"
        rebuild(directory, named=len(sys.argv) > 1)
    except (OSError, ValueError) as error:  # a file of the folder that cannot be read as one
        give_up(f"release/rebuild.py: {error}", 2)
