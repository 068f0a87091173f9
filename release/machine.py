#!/usr/bin/python3
"""Usage: release/machine.py BUILDINFO DIR

Makes in DIR, a folder not yet there, the machine that BUILDINFO records: its Debian release with
each recorded package at its version, and nothing else. Run as root, on that release and
architecture: a recorded version that the archive apt reaches no longer has is named, and the
archive's taken. debootsnap makes the recorded machine itself, from Debian's snapshot archive."""
import platform, shutil, subprocess
from pathlib import Path

import buildinfo, verdict
from verdict import UNJUDGED, Failure, output

WRAPPER = Path(__file__).resolve().parent / "merged-usr/mmdebstrap"
# Debian's images and installer write the first; debootstrap, the second. mmdebstrap reads it.
SOURCES = (Path("/etc/apt/sources.list.d/debian.sources"), Path("/etc/apt/sources.list"))
# A recorded version older than the archive's downgrades what mmdebstrap's first stage installs.
DOWNGRADES = '--aptopt=APT::Get::Allow-Downgrades "true"'

def make(path, target):
    recorded = buildinfo.read(path)
    here = (output("dpkg", "--print-architecture").strip(),
            platform.freedesktop_os_release().get("VERSION_CODENAME"))
    if here != (recorded.architecture, recorded.codename):
        raise Failure(f"{path} records a build on {recorded.architecture} Debian "
                      f"{recorded.codename}; this machine is {here[0]} Debian {here[1]}: make it "
                      "on the former.", UNJUDGED)
    sources = next((path for path in SOURCES if path.is_file()), None)
    if not sources:
        raise Failure(f"No {' nor '.join(map(str, SOURCES))}: the archive is read from them.",
                      UNJUDGED)
    output("apt-get", "update", "-q")
    packages = recorded.packages
    # bash | 5.2.15-2+b13 | http://deb.debian.org/debian bookworm/main amd64 Packages
    madison = [line.split("|") for line in output("apt-cache", "madison", *packages).splitlines()]
    archived = {(fields[0].strip(), fields[1].strip()) for fields in madison if len(fields) == 3}
    old = [name for name, version in packages.items() if (name, version) not in archived]
    if old:
        print("The archive no longer has these recorded versions: the machine takes its own, "
              "and so is not the one recorded:", *[f"  {name} {packages[name]}" for name in old],
              sep="\n", flush=True)
    wanted = [name if name in old else f"{name}={version}" for name, version in packages.items()]
    # Debian 12's usr-is-merged needs mmdebstrap's hook that merges /usr, which the wrapper adds;
    # Debian 13's packages merge it themselves, and the hook would add usr-is-merged to their set.
    mmdebstrap = WRAPPER if "usr-is-merged" in packages else "mmdebstrap"
    made = subprocess.run([mmdebstrap, "--variant=essential", DOWNGRADES,
                           f"--architectures={recorded.architecture}",
                           "--include=" + ",".join(wanted), recorded.codename, target, sources],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if made.returncode:  # what it made is no machine to rebuild in
        shutil.rmtree(target, ignore_errors=True)
        raise Failure("\n".join(made.stdout.splitlines()[-25:] + [
            f"mmdebstrap failed (exit {made.returncode}), as it says above."]), UNJUDGED)
    # base-files=12.4+deb12u11
    holds = dict(line.split("=", 1) for line in output(
        "chroot", target, "dpkg-query", "-W", "-f=${Package}=${Version}\n").splitlines())
    # Each recorded package, at its version (old's at any), and no other
    wrong = [f"{name} {version}: {holds.get(name, 'none')}" for name, version in packages.items()
             if name not in holds or (name not in old and holds[name] != version)]
    wrong += [f"{name}: {holds[name]}, not recorded" for name in sorted(holds.keys() - packages)]
    if wrong:
        raise Failure(f"The machine in {target} holds other packages than those recorded:\n  "
                      + "\n  ".join(wrong), UNJUDGED)
    print(f"{target} holds the {len(packages)} recorded packages, "
          + (f"{len(old)} of them at other versions (above)." if old
             else "each at its recorded version."))

def main(arguments):
    if len(arguments) != 2:
        raise Failure(__doc__.split("\n\n")[0], UNJUDGED)
    path, target = map(Path, arguments)
    if not path.is_file():
        raise Failure(f"There is no file {path}: name the release's .buildinfo.", UNJUDGED)
    if target.exists():  # a failed debootsnap's empty folder, say
        empty = target.is_dir() and not any(target.iterdir())
        raise Failure(f"{target} is there already{', empty' if empty else ''}: the machine is made "
                      "in a folder not yet there, so remove it, or name another.", UNJUDGED)
    make(path, target)
    return 0

if __name__ == "__main__":
    verdict.run(main)
