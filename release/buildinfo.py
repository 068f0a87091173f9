#!/usr/bin/python3
"""Usage: release/buildinfo.py VERSION [--signed] FILE...

Prints how a release is built here, as Debian's .buildinfo: the FILEs' digests, the commit,
SOURCE_DATE_EPOCH, whether the exes are signed, the Debian release, and each package of the
build and all that it depends on, at its version: what debootsnap needs to make the machine."""
import collections, hashlib, os, platform, subprocess, sys

# What a release build runs or reads, besides Debian's essential packages: compilers, binutils,
# CMake, ninja, Python and the modules of the tools that check the exes and write the notices and
# the bill, zip, coreutils (fmt), base-files (licence texts), git (the commit), dpkg (packages).
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
    files = [(os.path.basename(file), open(file, "rb").read()) for file in files]
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    own = run("dpkg", "--print-architecture").strip()
    packages = installed(own)
    # Its files are Windows exes and what is made of them: of no Debian architecture.
    print(f"Format: 1.0\nSource: list-capture-devices\nArchitecture: all\nVersion: {sys.argv[1]}")
    for field in "Md5", "Sha1", "Sha256":
        print(f"Checksums-{field}:", *(f" {hashlib.new(field.lower(), data).hexdigest()} "
                                       f"{len(data)} {name}" for name, data in files), sep="\n")
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
