#!/usr/bin/python3
"""Usage: release/readme.py VERSION README

Makes README, a copy of README.md in the zip, name the repository and the release's page where
REPOSITORY_URL gives the repository's address (the release workflow sets it; a rebuild reads it
back from the .buildinfo). Without it, as in a clone, the README is left as it is: it says "the
repository that shows this file", as a clone's remote need not be a page that users reach."""
import os, re

import verdict
from verdict import UNJUDGED, Failure

LINE = "The source and releases: the repository that shows this file, and its Releases page."
# https://github.com/owner/list-capture-devices
ADDRESS = re.compile(r"https://[A-Za-z0-9.-]+(/[A-Za-z0-9._-]+)+")

def repository():
    """REPOSITORY_URL's address, or None where it is unset or empty; a Failure where it is not
    such an address."""
    address = os.environ.get("REPOSITORY_URL", "")
    if address == "":
        return None
    if not ADDRESS.fullmatch(address):
        raise Failure(f"REPOSITORY_URL is not an address such as "
                      f"https://github.com/owner/list-capture-devices: {address!r}", UNJUDGED)
    return address

def named(text, version, address):
    """text, a README, with its LINE naming address and the release's page; a Failure where it
    has not one such line."""
    lines = text.split("\n")
    if lines.count(LINE) != 1:
        raise Failure(f"README.md has not one line {LINE!r}, which the zip's names the "
                      "repository in.")
    page = f"{address}/releases/tag/v{version}"
    return "\n".join(f"The source and releases: <{address}>, and this release's page, <{page}>."
                     if line == LINE else line for line in lines)

def main(arguments):
    if len(arguments) != 2 or not os.path.isfile(arguments[1]):
        raise Failure(__doc__.split("\n\n")[0], UNJUDGED)
    address = repository()
    if address:
        with open(arguments[1], encoding="utf-8", newline="") as readme:
            text = named(readme.read(), arguments[0], address)
        with open(arguments[1], "w", encoding="utf-8", newline="") as readme:
            readme.write(text)
    return 0

if __name__ == "__main__":
    verdict.run(main)
