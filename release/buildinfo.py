#!/usr/bin/python3
"""Usage: release/buildinfo.py VERSION [--signed] FILE..., with SOURCE_DATE_EPOCH set

Prints how a release is built here (the commit, REPOSITORY_URL where set), as Debian's .buildinfo,
with each package of the build and all it depends on at its version: what debootsnap needs to make
the machine. read() reads it, for every other script."""
import collections, hashlib, os, platform, re, sys
from pathlib import Path

from debian.deb822 import BuildInfo, Deb822

import verdict
from readme import repository
from verdict import UNJUDGED, Failure, output

Installed = collections.namedtuple("Installed", "name version essential provides depends")
Recorded = collections.namedtuple("Recorded", "version commit epoch repository uncommitted signed "
                                  "distribution codename architecture packages")
NEEDED = ("Version", "Commit", "Source-Date-Epoch", "Build-Distribution", "Build-Architecture",
          "Installed-Build-Depends")
# Build-Distribution: debian 12 (bookworm)
DISTRIBUTION = re.compile(r"debian [0-9.]+ \(([a-z]+)\)")

def names(field):
    """Of a field such as Depends: libc6 (>= 2.34), python3:any | python3-minimal (= 3.11.2-1)
    gives [["libc6"], ["python3", "python3-minimal"]]."""
    return [[one.split()[0].split(":")[0] for one in relation.split("|")]
            for relation in field.split(",") if relation.strip()]

def installed(architecture):
    """{name: Installed} of every package installed for this architecture, or for all."""
    found = {}
    for line in output("dpkg-query", "-W", "-f=${db:Status-Abbrev}\t${Package}\t${Architecture}\t"
                       "${Version}\t${Essential}\t${Provides}\t${Pre-Depends}, ${Depends}\n"
                       ).splitlines():
        status, name, arch, version, essential, provides, depends = line.split("\t")
        if status == "ii " and arch in (architecture, "all"):
            found[name] = Installed(name, version, essential == "yes",
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
            raise Failure(f"{name} is not installed.", UNJUDGED)
        if name not in taken:
            taken.add(name)
            for ones in packages[name].depends:
                found = [one if one in packages else providers.get(one) for one in ones]
                wanted.append(next((one for one in found if one), " | ".join(ones)))
    return sorted(taken)

def buildinfo(version, files, signed, epoch):
    """The .buildinfo of files ({name: bytes}) made here: Debian's fields, then the project's."""
    own = output("dpkg", "--print-architecture").strip()
    packages, system = installed(own), platform.freedesktop_os_release()
    # Its files are Windows exes and what is made of them: of no Debian architecture.
    info = Deb822({"Format": "1.0", "Source": "list-capture-devices", "Architecture": "all",
                   "Version": version})
    for field in "Md5", "Sha1", "Sha256":
        info[f"Checksums-{field}"] = "".join(f"\n {hashlib.new(field.lower(), data).hexdigest()} "
                                             f"{len(data)} {name}" for name, data in files.items())
    info["Build-Architecture"] = own
    text = (Path(__file__).parent / "packages.txt").read_text(encoding="utf-8").splitlines()
    roots = [name for line in text if not line.startswith("#") for name in line.split()]
    info["Installed-Build-Depends"] = ",".join(f"\n {name} (= {packages[name].version})"
                                               for name in closure(packages, roots))
    info["Environment"] = f'\n SOURCE_DATE_EPOCH="{epoch}"'
    info["Commit"] = output("git", "rev-parse", "HEAD").strip()
    if repository():  # which the zip's README names: a rebuild names it again
        info["Repository"] = repository()
    if output("git", "status", "--porcelain", "--untracked-files=no"):  # rebuilt only from here
        info["Uncommitted-Changes"] = "yes"
    if signed:  # a rebuild of it needs the signed exes: no build gives their signatures
        info["Signed-Exes"] = "yes"
    info["Source-Date-Epoch"] = epoch
    info["Build-Distribution"] = "{ID} {VERSION_ID} ({VERSION_CODENAME})".format(**system)
    return info

def read(path):
    """The Recorded (packages: {name: version}) at path; a Failure (not judged) if not ours."""
    try:
        info = BuildInfo(path.read_text().splitlines())
    except UnicodeDecodeError:  # not text at all: not a release's either
        info = {}
    if info.get("Source") != "list-capture-devices":
        raise Failure(f"{path} is not the build information of a release of list-capture-devices.",
                      UNJUDGED)
    missing = [field for field in NEEDED if not info.get(field)]
    if missing:
        raise Failure(f"{path} records no {', '.join(missing)}.", UNJUDGED)
    distribution = DISTRIBUTION.fullmatch(info["Build-Distribution"])
    if not distribution:
        raise Failure(f"{path} records no Build-Distribution such as debian 12 (bookworm).",
                      UNJUDGED)
    packages = {}
    for relation in info.relations["installed-build-depends"]:
        version = relation[0]["version"]
        if len(relation) > 1 or relation[0]["archqual"] or not version or version[0] != "=":
            raise Failure(f"{path}: its Installed-Build-Depends has {relation[0]['name']} other "
                          "than as NAME (= VERSION).", UNJUDGED)
        packages[relation[0]["name"]] = version[1]
    return Recorded(info["Version"], info["Commit"], info["Source-Date-Epoch"],
                    info.get("Repository", ""), "Uncommitted-Changes" in info,
                    "Signed-Exes" in info, info["Build-Distribution"], distribution[1],
                    info["Build-Architecture"], packages)

def main(arguments):
    signed = arguments[1:2] == ["--signed"]
    files = arguments[1 + signed:]
    if not files or not all(map(os.path.isfile, files)) or not os.environ.get(
            "SOURCE_DATE_EPOCH", "").isdigit():
        raise Failure(__doc__.split("\n\n")[0], UNJUDGED)
    made = {Path(file).name: Path(file).read_bytes() for file in files}
    os.chdir(os.path.dirname(os.path.abspath(__file__)))  # git's commit: this clone's
    sys.stdout.write(buildinfo(arguments[0], made, signed, os.environ["SOURCE_DATE_EPOCH"]).dump())
    return 0

if __name__ == "__main__":
    verdict.run(main)
