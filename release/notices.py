#!/usr/bin/python3
"""Usage: release/notices.py VERSION COMPONENTS

Prints THIRD-PARTY-NOTICES.txt: each component of COMPONENTS (what
components.py printed) once, with what each exe took of it from which
package, its licence, and the notices and licence texts that the licence asks
to be passed on, from the packages' copyright files (a shared text once).
"""
import re, subprocess, sys

from debian.copyright import Copyright
from debian.deb822 import Deb822

from components import read_records, read_rows

WIDTH = 76
HEAD = ("list-capture-devices.exe and list-capture-devices-x86.exe are linked statically: beside "
        "this project's own code, which is under the MIT licence in LICENSE, each contains code of "
        "others that the build takes from Debian's MinGW-w64 packages: {}. Each is named below "
        "once, with the Debian packages that each exe took it from, what it took, and its licence, "
        "followed by the copyright notices and licence texts that the licence asks to be passed "
        "on, as those packages' copyright files give them.")

def wrap(text, indent=""):
    """text broken, while longer than WIDTH, at its last space before WIDTH."""
    lines = []
    while len(text) > WIDTH and text.rfind(" ", 0, WIDTH) > len(indent):
        cut = text.rfind(" ", 0, WIDTH)
        lines, text = lines + [text[:cut]], indent + text[cut + 1:]
    return lines + [text]

def terms_text(package, terms):
    path = f"/usr/share/doc/{package}/copyright"
    with open(path, encoding="utf-8") as text:
        text = text.read()
    if terms.startswith("paragraph "):
        # The paragraph less its Files field, then the text of each licence
        # that it names without one, from the License paragraph of that name.
        copyright = Copyright(text.splitlines(), strict=False)
        files = list(copyright.all_paragraphs())[int(terms.split()[1]) - 1]
        paragraph = Deb822(files.dump().splitlines())
        del paragraph["Files"]
        parts, names = [paragraph.dump()], re.split(r" (?:and|or) ", files.license.synopsis)
        for licence in copyright.all_license_paragraphs() if not files.license.text else []:
            if licence.license.synopsis in names:
                names.remove(licence.license.synopsis)
                parts.append(licence.dump())
        return "\n\n".join(part.rstrip("\n") for part in parts)
    lines, parts = text.split("\n"), []
    for first, after in re.findall(r"/([^/]*)/,/([^/]*)/", terms):  # /first line/,/line after/
        start = next((n for n, line in enumerate(lines) if re.search(first, line)), len(lines))
        end = next((n for n in range(start + 1, len(lines)) if re.search(after, lines[n])), None)
        if end is None:
            sys.exit(f"{path} has no lines /{first}/ to /{after}/: say in release/components.txt "
                     "which of its lines state the terms.")
        parts += lines[start:end]
    return "\n".join(parts).rstrip("\n")

def notices(version, records):
    present = {r.component for r in records}
    names = [name for name in dict.fromkeys(row[0] for row in read_rows()) if name in present]
    # Filled by coreutils' fmt, as it always was: its line breaks are part of the release's bytes.
    head = subprocess.run(["fmt", "-w", str(WIDTH)], capture_output=True, text=True, check=True,
                          input=HEAD.format("; ".join(names))).stdout
    out = [f"Third-party notices of list-capture-devices {version}", "", head.rstrip("\n")]
    for name in names:
        mine = [r for r in records if r.component == name]
        licence = " AND ".join(sorted({r.licence for r in mine}))
        out += ["", "=" * WIDTH, name, "", f"Licence: {licence}"]
        # The x86-64 exe first; each file with its members, or their number where they are many.
        for exe, package, package_version in sorted(
                {r[:3] for r in mine}, key=lambda r: (r[0].endswith("-x86.exe"), r[1])):
            out += wrap(f"In {exe}, from Debian's {package} {package_version}:")
            files = {}
            for r in (r for r in mine if (r.exe, r.package) == (exe, package)):
                files.setdefault(r.file, {})[r.member] = None
            for file, members in files.items():
                listed = f": {len(members)} members" if len(members) > 20 else \
                    "" if list(members) == ["-"] else ": " + ", ".join(members)
                out += wrap(f"  {file}{listed}", "      ")
        places = sorted({(r.package, r.terms) for r in mine}, key=lambda place: (
            place[0], [int(n) if n.isdigit() else n for n in re.split(r"(\d+)", place[1])]))
        for text in dict.fromkeys(terms_text(*place) for place in places):
            out += ["", text]
    return "\n".join(out) + "\n"

if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.split("\n\n")[0])
    try:
        sys.stdout.write(notices(sys.argv[1], read_records(sys.argv[2])))
    except OSError as error:
        sys.exit(f"release/notices.py: {error}")
