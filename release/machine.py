#!/usr/bin/python3
"""Usage: release/machine.py BUILDINFO DIR

Makes in DIR, a folder not yet there, the machine that BUILDINFO records: its Debian release,
holding each package of its Installed-Build-Depends at the recorded version and nothing else.
Run as root, on the recorded Debian release and architecture: mmdebstrap takes the packages
from the archive that this machine's apt reaches (/etc/apt/sources.list.d/debian.sources).
That archive keeps only the newest version of each package: a recorded version that it no
longer has is named, and the archive's own is taken instead, which release/rebuild.sh names
again among the machine's differences. debootsnap makes the recorded machine itself, from
Debian's snapshot archive (RELEASING.md)."""
import collections, re, subprocess, sys
from pathlib import Path

from debian.deb822 import BuildInfo

TOP = Path(__file__).resolve().parent.parent
SOURCES = Path("/etc/apt/sources.list.d/debian.sources")
Package = collections.namedtuple("Package", "name version")

# Build-Distribution: debian 12 (bookworm)
DISTRIBUTION = re.compile(r"debian [0-9.]+ \(([a-z]+)\)")

def recorded(text):
    """The codename, the architecture and [Package] that a .buildinfo's text records; a
    ValueError that says why where it records them in another form."""
    info = BuildInfo(text.splitlines())
    distribution = DISTRIBUTION.fullmatch(info.get("Build-Distribution", ""))
    if not distribution or not info.get("Build-Architecture"):
        raise ValueError("it records no Build-Distribution such as debian 12 (bookworm), or no "
                         "Build-Architecture")
    packages = []
    for relation in info.relations["installed-build-depends"]:
        version = relation[0]["version"]
        if len(relation) > 1 or relation[0]["archqual"] or not version or version[0] != "=":
            raise ValueError(f"its Installed-Build-Depends has {relation[0]['name']} other than "
                             "as NAME (= VERSION)")
        packages.append(Package(relation[0]["name"], version[1]))
    if not packages:
        raise ValueError("it records no Installed-Build-Depends")
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
        raise RuntimeError(f"{' '.join(command)} failed: {done.stderr.strip()}")
    return done.stdout

def make(buildinfo, target):
    codename, architecture, packages = recorded(buildinfo.read_text())
    here = (run("dpkg", "--print-architecture").strip(),
            run("sh", "-c", ". /etc/os-release && echo $VERSION_CODENAME").strip())
    if here != (architecture, codename):
        raise RuntimeError(f"{buildinfo} records a build on {architecture} Debian {codename}; "
                           f"this machine is {here[0]} Debian {here[1]}: make it on the former.")
    if not SOURCES.is_file():
        raise RuntimeError(f"No {SOURCES}: the archive that apt reaches is read from it.")
    run("apt-get", "update", "-q")
    have = archived(run("apt-cache", "madison", *[package.name for package in packages]))
    gone = [package for package in packages if package not in have]
    if gone:
        print("The archive no longer has these recorded versions: the machine takes its own, "
              "and so is not the one recorded:", *[f"  {p.name} {p.version}" for p in gone],
              sep="\n", flush=True)
    wanted = [package.name if package in gone else f"{package.name}={package.version}"
              for package in packages]
    # usr-is-merged, which the set holds, refuses a machine without a merged /usr, which
    # mmdebstrap leaves to a hook: the wrapper adds it, as it does for debootsnap.
    made = subprocess.run([TOP / "release/merged-usr/mmdebstrap", "--variant=essential", "-q",
                           f"--architectures={architecture}", "--include=" + ",".join(wanted),
                           codename, target, SOURCES])
    if made.returncode:
        raise RuntimeError(f"mmdebstrap failed (exit {made.returncode}): see above.")
    holds = set(run("chroot", target, "dpkg-query", "-W", "-f=${Package}\n").split())
    names = {package.name for package in packages}
    if holds != names:
        raise RuntimeError(f"The machine in {target} holds other packages than those recorded: "
                           f"more {sorted(holds - names)}, fewer {sorted(names - holds)}.")
    print(f"{target} holds the {len(packages)} recorded packages, "
          + (f"{len(gone)} of them at other versions (above)." if gone
             else "each at its recorded version."))

if __name__ == "__main__":
    if len(sys.argv) != 3 or not Path(sys.argv[1]).is_file() or Path(sys.argv[2]).exists():
        sys.exit(__doc__.split("\n\n")[0] + "\n(BUILDINFO a file, DIR not yet there)")
    try:
        make(Path(sys.argv[1]), Path(sys.argv[2]))
    except (ValueError, UnicodeDecodeError) as why:
        sys.exit(f"{sys.argv[1]}: {why}.")
    except RuntimeError as why:
        sys.exit(str(why))
