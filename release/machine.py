#!/usr/bin/python3
"""Usage: release/machine.py BUILDINFO DIR

Makes in DIR, a folder not yet there, the machine that BUILDINFO records: its Debian release,
holding each package of its Installed-Build-Depends at the recorded version and nothing else.
Run as root, on the recorded Debian release and architecture: mmdebstrap takes the packages
from the archive that this machine's apt reaches (its debian.sources, or else sources.list).
That archive keeps only the newest version of each package: a recorded version that it no
longer has is named, and the archive's own is taken instead, which release/rebuild.sh names
again among the machine's differences. debootsnap makes the recorded machine itself, from
Debian's snapshot archive (RELEASING.md)."""
import collections, platform, re, shutil, subprocess, sys
from pathlib import Path

from debian.deb822 import BuildInfo

from verdict import UNJUDGED, Failure

TOP = Path(__file__).resolve().parent.parent
# Debian's images and installer write the first; debootstrap, the second.
SOURCES = (Path("/etc/apt/sources.list.d/debian.sources"), Path("/etc/apt/sources.list"))
Package = collections.namedtuple("Package", "name version")
# A recorded version older than the archive's newest (a build on a machine that lacked an update)
# is a downgrade from what mmdebstrap's first stage installs.
DOWNGRADES = '--aptopt=APT::Get::Allow-Downgrades "true"'

# Build-Distribution: debian 12 (bookworm)
DISTRIBUTION = re.compile(r"debian [0-9.]+ \(([a-z]+)\)")

def recorded(text):
    """The codename, the architecture and [Package] that a .buildinfo's text records; a Failure
    that says why where it records them in another form."""
    info = BuildInfo(text.splitlines())
    distribution = DISTRIBUTION.fullmatch(info.get("Build-Distribution", ""))
    if not distribution or not info.get("Build-Architecture"):
        raise Failure("it records no Build-Distribution such as debian 12 (bookworm), or no "
                      "Build-Architecture", UNJUDGED)
    packages = []
    for relation in info.relations["installed-build-depends"]:
        version = relation[0]["version"]
        if len(relation) > 1 or relation[0]["archqual"] or not version or version[0] != "=":
            raise Failure(f"its Installed-Build-Depends has {relation[0]['name']} other than as "
                          "NAME (= VERSION)", UNJUDGED)
        packages.append(Package(relation[0]["name"], version[1]))
    if not packages:
        raise Failure("it records no Installed-Build-Depends", UNJUDGED)
    return distribution[1], info["Build-Architecture"], packages

def archived(madison):
    """{(name, version)} of apt-cache madison's lines, such as
      bash | 5.2.15-2+b13 | http://deb.debian.org/debian bookworm/main amd64 Packages"""
    found = set()
    for line in madison.splitlines():
        fields = [field.strip() for field in line.split("|")]
        if len(fields) == 3:
            found.add((fields[0], fields[1]))
    return found

def run(*command):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode:
        raise Failure(f"{' '.join(command)} failed: {done.stderr.strip()}", UNJUDGED)
    return done.stdout

def make(buildinfo, target):
    try:
        codename, architecture, packages = recorded(buildinfo.read_text())
    except (Failure, UnicodeDecodeError) as why:
        raise Failure(f"{buildinfo}: {why}.", UNJUDGED)
    here = (run("dpkg", "--print-architecture").strip(),
            platform.freedesktop_os_release().get("VERSION_CODENAME"))
    if here != (architecture, codename):
        raise Failure(f"{buildinfo} records a build on {architecture} Debian {codename}; this "
                      f"machine is {here[0]} Debian {here[1]}: make it on the former.", UNJUDGED)
    sources = next((path for path in SOURCES if path.is_file()), None)
    if not sources:
        raise Failure(f"No {' nor '.join(map(str, SOURCES))}: the archive is read from them.",
                      UNJUDGED)
    run("apt-get", "update", "-q")
    have = archived(run("apt-cache", "madison", *[package.name for package in packages]))
    gone = [package for package in packages if package not in have]
    if gone:
        print("The archive no longer has these recorded versions: the machine takes its own, "
              "and so is not the one recorded:", *[f"  {p.name} {p.version}" for p in gone],
              sep="\n", flush=True)
    wanted = [package.name if package in gone else f"{package.name}={package.version}"
              for package in packages]
    # usr-is-merged, which Debian 12's set holds, refuses a machine without a merged /usr, which
    # mmdebstrap leaves to a hook there: the wrapper adds it, as it does for debootsnap. Debian
    # 13's packages merge /usr themselves, and the hook would add usr-is-merged to their set.
    mmdebstrap = "mmdebstrap"
    if "usr-is-merged" in [package.name for package in packages]:
        mmdebstrap = TOP / "release/merged-usr/mmdebstrap"
    made = subprocess.run([mmdebstrap, "--variant=essential", DOWNGRADES,
                           f"--architectures={architecture}", "--include=" + ",".join(wanted),
                           codename, target, sources],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if made.returncode:  # what it made is no machine to rebuild in
        shutil.rmtree(target, ignore_errors=True)
        raise Failure("\n".join(made.stdout.splitlines()[-25:] + [
            f"mmdebstrap failed (exit {made.returncode}), as it says above."]), UNJUDGED)
    # base-files=12.4+deb12u11
    holds = dict(line.split("=", 1) for line in run(
        "chroot", target, "dpkg-query", "-W", "-f=${Package}=${Version}\n").splitlines())
    wrong = [f"{p.name} {p.version}: {holds.get(p.name, 'none')}" for p in packages
             if p.name not in holds or (p not in gone and holds[p.name] != p.version)]
    wrong += [f"{name}: {holds[name]}, not recorded" for name in
              sorted(holds.keys() - {package.name for package in packages})]
    if wrong:
        raise Failure(f"The machine in {target} holds other packages than those recorded:\n  "
                      + "\n  ".join(wrong), UNJUDGED)
    print(f"{target} holds the {len(packages)} recorded packages, "
          + (f"{len(gone)} of them at other versions (above)." if gone
             else "each at its recorded version."))

def main(arguments):
    if len(arguments) != 2 or not Path(arguments[0]).is_file() or Path(arguments[1]).exists():
        print(__doc__.split("\n\n")[0] + " (BUILDINFO a file, DIR not yet there)", file=sys.stderr)
        return UNJUDGED
    try:
        make(Path(arguments[0]), Path(arguments[1]))
    except Failure as failure:
        print(failure, file=sys.stderr)
        return failure.status
    return 0

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
