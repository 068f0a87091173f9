#!/usr/bin/python3
"""Usage: release/buildinfo.py VERSION [--signed]

Prints how a release of this checkout is built on this machine: the commit,
SOURCE_DATE_EPOCH (set by the caller), whether its exes are signed ones, the
Debian release and architecture, and the version of every package whose files
reach the released bytes.
"""
import json, os, platform, re, subprocess, sys

import debian.copyright

# The packages whose files a release build reads, as a trace of it shows, less
# those that only run it: the compilers with their libraries and those they
# compute with, MinGW-w64's headers and libraries, binutils, CMake (which
# writes the command lines), zip, coreutils, whose fmt fills the notices, and
# base-files, whose licence texts they quote.
BUILD = """base-files binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 cmake cmake-data coreutils
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix gcc-mingw-w64-i686-posix
  gcc-mingw-w64-x86-64-posix libgmp10 libisl23 libmpc3 libmpfr6 mingw-w64-common
  mingw-w64-i686-dev mingw-w64-x86-64-dev zip""".split()
# And the Python that writes the notices and the bill of materials.
WRITERS = [os.path.realpath(sys.executable), debian.copyright.__file__, json.__file__, re.__file__]

def run(*command):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode:  # git, say, in a tree that is not a clone
        sys.exit(f"release/buildinfo.py: {' '.join(command)} failed: {done.stderr.strip()}")
    return done.stdout

if __name__ == "__main__":
    if len(sys.argv) not in (2, 3) or sys.argv[2:] not in ([], ["--signed"]):
        sys.exit(__doc__.split("\n\n")[0])
    os.chdir(os.path.dirname(os.path.abspath(__file__)))
    own = run("dpkg", "--print-architecture").strip()
    writers = {line.split(":")[0] for line in run("dpkg", "-S", *WRITERS).splitlines()}
    packages = sorted(set(BUILD) | writers)
    installed = subprocess.run(["dpkg-query", "-W", "-f=${Package} ${Architecture} ${Version}\n",
                                *packages], capture_output=True, text=True).stdout.splitlines()
    # This architecture's: a library may be installed for i386 too.
    installed = {p: v for p, a, v in (line.split() for line in installed) if a in (own, "all")}
    for package in packages:
        if package not in installed:
            sys.exit(f"{package} is not installed.")
    system = platform.freedesktop_os_release()
    version = sys.argv[1]
    print(f"# How the list-capture-devices {version} release was built: the source commit and its "
          "time, the Debian release, and the exact version of every package whose files reach the "
          "released bytes. Rebuilt from that commit with these packages (Debian's snapshot archive "
          "keeps every version of every package), the files of SHA256SUMS come out the same to the "
          "byte; release/rebuild.sh, given a folder with this file and SHA256SUMS, does that and "
          "compares.")
    print(f"Source: list-capture-devices\nVersion: {version}")
    print("Commit:", run("git", "rev-parse", "HEAD"), end="")
    if run("git", "status", "--porcelain", "--untracked-files=no"):  # rebuilt only from this tree
        print("Uncommitted-Changes: yes")
    if sys.argv[2:]:  # a rebuild of it needs the signed exes: no build gives their signatures
        print("Signed-Exes: yes")
    print(f"Source-Date-Epoch: {os.environ['SOURCE_DATE_EPOCH']}\nBuild-Distribution: "
          f"{system['ID']} {system['VERSION_ID']} ({system['VERSION_CODENAME']})\n"
          f"Build-Architecture: {own}\nInstalled-Build-Depends:")
    for package in packages:
        print(f" {package} (= {installed[package]})")
