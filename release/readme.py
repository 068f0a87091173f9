#!/usr/bin/python3
"""Usage: release/readme.py VERSION README

Makes README, a copy of README.md in the zip, name the repository and the release's page, and lead
its links to what the zip does not hold to the tag's tree, where the repository is known."""
import os, re, subprocess

from verdict import UNJUDGED, Failure, run

LINE = "The source and releases: the repository that shows this file, and its Releases page."
# https://github.com/owner/list-capture-devices (its page: not .../list-capture-devices.git)
ADDRESS = re.compile(r"https://[A-Za-z0-9.-]+(/[A-Za-z0-9._-]+)+(?<!\.git)")
# https://github.com/owner/repo.git, ssh://git@github.com:22/owner/repo, git@github.com:owner/repo
ORIGIN = re.compile(r"(?:(?:https|ssh)://(?:[^@/]+@)?([A-Za-z0-9.-]+)(?::\d+)?/"
                    r"|[^@/:]+@([A-Za-z0-9.-]+):)"
                    r"([A-Za-z0-9._-]+(?:/[A-Za-z0-9._-]+?)+?)(?:\.git)?/?")
# [CHECKING.md](CHECKING.md), [the rebuild](RELEASING.md#rebuilding-a-release)
LINK = re.compile(r"\]\(([^)#:\s]+)(#[^)\s]*)?\)")

def repository():
    """REPOSITORY_URL (set empty: none), or where it is unset the web address of the clone's origin
    on a repository host; else None. A Failure where REPOSITORY_URL is not such an address."""
    address = os.environ.get("REPOSITORY_URL")
    if address is None:  # a release made in a clone, which names the repository it came from
        found = ORIGIN.fullmatch(subprocess.run(["git", "remote", "get-url", "origin"],
                                                capture_output=True, text=True).stdout.strip())
        if found is None:  # a folder, say: no page that users reach
            return None
        return f"https://{found[1] or found[2]}/{found[3]}"
    if address and not ADDRESS.fullmatch(address):
        raise Failure(f"REPOSITORY_URL is not an address such as "
                      f"https://github.com/owner/list-capture-devices: {address!r}", UNJUDGED)
    return address or None

def named(text, version, address, held):
    """text, a README, with its LINE naming address and the release's page, and its links to files
    not among held leading to the tag's; a Failure where it has not one such line."""
    lines = text.split("\n")
    if lines.count(LINE) != 1:
        raise Failure(f"README.md has not one line {LINE!r} to name the repository in.")
    lines[lines.index(LINE)] = (f"The source and releases: <{address}>, and this release's page, "
                                f"<{address}/releases/tag/v{version}>.")
    def lead(link):
        if link[1] in held:
            return link[0]
        return f"]({address}/blob/v{version}/{link[1]}{link[2] or ''})"
    return LINK.sub(lead, "\n".join(lines))

def main(arguments):
    if len(arguments) != 2 or not os.path.isfile(arguments[1]):
        raise Failure(__doc__.split("\n\n")[0], UNJUDGED)
    address = repository()
    if address:
        with open(arguments[1], encoding="utf-8", newline="") as readme:
            text = named(readme.read(), arguments[0], address,
                         os.listdir(os.path.dirname(os.path.abspath(arguments[1]))))
        with open(arguments[1], "w", encoding="utf-8", newline="") as readme:
            readme.write(text)
    return 0

if __name__ == "__main__":
    run(main)
