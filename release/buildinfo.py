#!/usr/bin/python3
"""Usage: release/buildinfo.py VERSION [--signed] FILE...

Prints how a release of this checkout is built on this machine, as Debian's
.buildinfo: the FILEs' digests, the commit, SOURCE_DATE_EPOCH (the caller's),
whether its exes are signed, the Debian release and every package of the build
with all that they depend on, at their versions: what debootsnap needs to make
the machine again from Debian's snapshot archive.
"""
import collections, hashlib, os, platform, subprocess, sys
from pathlib import Path

from debian.deb822 import PkgRelation

# What a release build runs or reads, besides Debian's essential packages:
# MinGW-w64's compilers and binutils, CMake and ninja, Python with the modules
# of the tools that check the exes and write the notices and the bill, zip,
# coreutils (fmt fills the notices), base-files (whose licence texts they
# quote), git (which names the commit) and dpkg (which names these packages).
ROOTS = """base-files binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 cmake coreutils dpkg
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix git ninja-build python3 python3-asn1crypto
  python3-cryptography python3-debian python3-pefile zip""".split()
Package = collections.namedtuple("Package", "name version essential provides depends")

def run(*command):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode:  # git, say, in a tree that is not a clone
        sys.exit(f"release/buildinfo.py: {' '.join(command)} failed: {done.stderr.strip()}")
    return done.stdout

def names(field):
    """Each relation of a field such as Depends as the names of its alternatives."""
    field = ",".join(relation for relation in field.split(",") if relation.strip())
    return [[one["name"] for one in ones] for ones in PkgRelation.parse_relations(field)
            ] if field else []

def installed(architecture):
    """{name: Package} of every package installed for this architecture, or for all."""
    found = {}
    for line in run("dpkg-query", "-W", "-f=${db:Status-Abbrev}\t${Package}\t${Architecture}\t"
                    "${Version}\t${Essential}\t${Provides}\t${Pre-Depends}, ${Depends}\n").splitlines():
        status, name, arch, version, essential, provides, depends = line.split("\t")
        if status == "ii " and arch in (architecture, "all"):
            found[name] = Package(name, version, essential == "yes",
                                  [ones[0] for ones in names(provides)], names(depends))
    return found

def closure(packages, roots):
    """The roots and the essential packages of packages, with all that they depend or pre-depend
    on: of alternatives, the first installed; of a virtual package, its first provider by name."""
    providers = {}
    for package in sorted(packages.values()):
        for name in package.provides:
            providers.setdefault(name, package.name)
    wanted, taken = list(roots) + [p.name for p in packages.values() if p.essential], set()
    while wanted:
        name = wanted.pop()
        if name not in packages:
            sys.exit(f"{name} is not installed.")
        if name not in taken:
            taken.add(name)
            for ones in packages[name].depends:
                found = [one if one in packages else providers.get(one) for one in ones]
                wanted.append(next((one for one in found if one), " | ".join(ones)))
    return sorted(taken)

if __name__ == "__main__":
    signed = sys.argv[2:3] == ["--signed"]
    files = sys.argv[2 + signed:]
    if not files or not all(os.path.isfile(file) for file in files):
        sys.exit(__doc__.split("\n\n")[0])
    files = [(Path(file).name, Path(file).read_bytes()) for file in files]
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    own = run("dpkg", "--print-architecture").strip()
    packages = installed(own)
    # Its files are Windows exes and what is made of them: of no Debian architecture.
    print(f"Format: 1.0\nSource: list-capture-devices\nArchitecture: all\nVersion: {sys.argv[1]}")
    for field in "Md5", "Sha1", "Sha256":
        print(f"Checksums-{field}:")
        for name, data in files:
            print(f" {hashlib.new(field.lower(), data).hexdigest()} {len(data)} {name}")
    print(f"Build-Architecture: {own}\nInstalled-Build-Depends:")
    print(",\n".join(f" {name} (= {packages[name].version})" for name in closure(packages, ROOTS)))
    print(f"Environment:\n SOURCE_DATE_EPOCH=\"{os.environ['SOURCE_DATE_EPOCH']}\"")
    print("Commit:", run("git", "rev-parse", "HEAD"), end="")  # and the project's own fields
    if run("git", "status", "--porcelain", "--untracked-files=no"):  # rebuilt only from this tree
        print("Uncommitted-Changes: yes")
    if signed:  # a rebuild of it needs the signed exes: no build gives their signatures
        print("Signed-Exes: yes")
    system = platform.freedesktop_os_release()
    print(f"Source-Date-Epoch: {os.environ['SOURCE_DATE_EPOCH']}\nBuild-Distribution: "
          f"{system['ID']} {system['VERSION_ID']} ({system['VERSION_CODENAME']})")
