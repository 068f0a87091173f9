#!/usr/bin/python3
"""Usage: release/buildinfo.py VERSION [--signed] FILE...

Prints how a release is built here, as Debian's .buildinfo: the FILEs' digests, the commit,
the repository's address (REPOSITORY_URL, where set), SOURCE_DATE_EPOCH, whether the exes are
signed, the Debian release, and each package of the build and all that it depends on, at its
version: what debootsnap needs to make the machine."""
import collections, hashlib, os, platform, subprocess, sys

from debian.deb822 import Deb822

from readme import repository
from verdict import Failure

Package = collections.namedtuple("Package", "name version essential provides depends")

def run(*command):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode:  # git, say, in a tree that is not a clone
        raise Failure(f"release/buildinfo.py: {' '.join(command)} failed: {done.stderr.strip()}")
    return done.stdout

def names(field):
    """Of a field such as Depends: libc6 (>= 2.34), python3:any | python3-minimal (= 3.11.2-1)
    gives [["libc6"], ["python3", "python3-minimal"]]."""
    return [[one.split()[0].split(":")[0] for one in relation.split("|")]
            for relation in field.split(",") if relation.strip()]

def installed(architecture):
    """{name: Package} of every package installed for this architecture, or for all."""
    found = {}
    for line in run("dpkg-query", "-W", "-f=${db:Status-Abbrev}\t${Package}\t${Architecture}\t"
                    "${Version}\t${Essential}\t${Provides}\t${Pre-Depends}, ${Depends}\n"
                    ).splitlines():
        status, name, arch, version, essential, provides, depends = line.split("\t")
        if status == "ii " and arch in (architecture, "all"):
            found[name] = Package(name, version, essential == "yes",
                                  [ones[0] for ones in names(provides)], names(depends))
    return found

def closure(packages, roots):
    """The roots and the essential packages of packages, with all that they depend or pre-depend
    on: of alternatives, the first installed; of a virtual package, its first provider by name."""
    providers = {name: package.name for package in sorted(packages.values(), reverse=True)
                 for name in package.provides}
    wanted, taken = list(roots) + [p.name for p in packages.values() if p.essential], set()
    while wanted:
        name = wanted.pop()
        if name not in packages:
            raise Failure(f"{name} is not installed.")
        if name not in taken:
            taken.add(name)
            for ones in packages[name].depends:
                found = [one if one in packages else providers.get(one) for one in ones]
                wanted.append(next((one for one in found if one), " | ".join(ones)))
    return sorted(taken)

def buildinfo(version, files, signed, epoch):
    """The .buildinfo of files ({name: bytes}) made here, run in release/: Debian's fields, then
    the project's."""
    own = run("dpkg", "--print-architecture").strip()
    packages, system = installed(own), platform.freedesktop_os_release()
    # Its files are Windows exes and what is made of them: of no Debian architecture.
    info = Deb822({"Format": "1.0", "Source": "list-capture-devices", "Architecture": "all",
                   "Version": version})
    for field in "Md5", "Sha1", "Sha256":
        info[f"Checksums-{field}"] = "".join(f"\n {hashlib.new(field.lower(), data).hexdigest()} "
                                             f"{len(data)} {name}" for name, data in files.items())
    info["Build-Architecture"] = own
    with open("packages.txt", encoding="utf-8") as text:  # what the build runs or reads
        roots = [name for line in text if not line.startswith("#") for name in line.split()]
    info["Installed-Build-Depends"] = ",".join(f"\n {name} (= {packages[name].version})"
                                               for name in closure(packages, roots))
    info["Environment"] = f'\n SOURCE_DATE_EPOCH="{epoch}"'
    info["Commit"] = run("git", "rev-parse", "HEAD").strip()
    if repository():  # which the zip's README names: a rebuild names it again
        info["Repository"] = repository()
    if run("git", "status", "--porcelain", "--untracked-files=no"):  # rebuilt only from this tree
        info["Uncommitted-Changes"] = "yes"
    if signed:  # a rebuild of it needs the signed exes: no build gives their signatures
        info["Signed-Exes"] = "yes"
    info["Source-Date-Epoch"] = epoch
    info["Build-Distribution"] = "{ID} {VERSION_ID} ({VERSION_CODENAME})".format(**system)
    return info

if __name__ == "__main__":
    signed = sys.argv[2:3] == ["--signed"]
    files = sys.argv[2 + signed:]
    if not files or not all(os.path.isfile(file) for file in files):
        sys.exit(__doc__.split("\n\n")[0])
    files = {os.path.basename(file): open(file, "rb").read() for file in files}
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    try:
        info = buildinfo(sys.argv[1], files, signed, os.environ["SOURCE_DATE_EPOCH"])
    except Failure as failure:
        sys.exit(str(failure))
    sys.stdout.write(info.dump())
