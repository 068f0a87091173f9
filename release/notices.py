#!/usr/bin/python3
"""Usage: release/notices.py VERSION COMPONENTS

Prints THIRD-PARTY-NOTICES.txt: each component of COMPONENTS (what components.py printed) once, with
what each exe took of it from which package, its licence, and the notices and licence texts that the
licence asks to be passed on, each text once, from where HEAD says."""
import os, re, subprocess, sys

from debian.deb822 import Deb822

from components import read_copyright, read_records, read_rows
import verdict
from verdict import UNJUDGED, Failure

WIDTH = 76
HEAD = ("list-capture-devices.exe and list-capture-devices-x86.exe are linked statically: beside "
        "this project's own code, which is under the MIT licence in LICENSE, each contains code of "
        "others that the build takes from Debian's MinGW-w64 packages: {}. Each is named below "
        "once, with the Debian packages that each exe took it from, what it took, and its licence, "
        "followed by the copyright notices and licence texts that the licence asks to be passed "
        "on, as those packages' copyright files give them or, where they do not, the source's own "
        "header, with the full text of each GNU General Public License named, once.")
# base-files' full texts of the licences that rows with ranges name, for a reader with no Debian.
TEXTS = {"GPL-2.0-or-later": "GPL-2", "GPL-3.0-or-later": "GPL-3"}

def wrap(text, indent=""):
    """text broken, while longer than WIDTH, at its last space before WIDTH."""
    lines = []
    while len(text) > WIDTH and text.rfind(" ", 0, WIDTH) > len(indent):
        cut = text.rfind(" ", 0, WIDTH)
        lines, text = lines + [text[:cut]], indent + text[cut + 1:]
    return lines + [text]

def ranges_text(path, ranges):
    """The lines of the file at path in each range (/first line/,/line after/), all found."""
    with open(path, encoding="utf-8") as text:
        lines, parts = text.read().split("\n"), []
    # /^GCC is Copyright/,/^The libbacktrace library/ /^GCC RUNTIME LIBRARY EXCEPTION$/,/^libq/
    for first, after in re.findall(r"/([^/]*)/,/([^/]*)/", ranges):
        start = next((n for n, line in enumerate(lines) if re.search(first, line)), len(lines))
        end = next((n for n in range(start + 1, len(lines)) if re.search(after, lines[n])), None)
        if end is None:
            raise Failure(f"{path} has no lines /{first}/,/{after}/: say in "
                          "release/components.txt which of its lines state the terms.")
        parts += lines[start:end]
    return "\n".join(parts).rstrip("\n")

def terms_text(record, copyrights):
    """The terms that record's file or ranges state, or its Files paragraph less its Files field
    then the License paragraph of each licence it names without text; a Failure says why not."""
    if record.ranges.startswith("release/"):  # a file kept beside this one
        path = os.path.join(os.path.dirname(__file__), "..", record.ranges)
        with open(path, encoding="utf-8") as text:
            return text.read().rstrip("\n")
    if record.ranges:
        return ranges_text(f"/usr/share/doc/{record.package}/copyright", record.ranges)
    copyright = read_copyright(record.package, copyrights)
    files = list(copyright.all_paragraphs())[int(record.paragraph) - 1]
    paragraph = Deb822(files.dump().splitlines())
    del paragraph["Files"]
    parts, missing = [paragraph.dump()], []
    if not files.license.text:
        missing = re.split(r" (?:and|or) ", files.license.synopsis)  # "BSD-2-clause and ISC"
    for licence in copyright.all_license_paragraphs():
        if licence.license.synopsis in missing:
            missing.remove(licence.license.synopsis)
            parts.append(licence.dump())
    if missing:
        named = files.files[0] + (" ..." if len(files.files) > 1 else "")
        raise Failure(f"{record.package}: paragraph {record.paragraph} of its copyright file "
                      f"(Files: {named}) names the licence {', '.join(missing)} without its text, "
                      "and no License paragraph of that name gives it: the notices would lack it.")
    return "\n\n".join(part.rstrip("\n") for part in parts)

def notices(version, records):
    """The text of THIRD-PARTY-NOTICES.txt for records; a Failure that says all that stops it."""
    present = {record.component for record in records}
    names = [name for name in dict.fromkeys(r.component for r in read_rows()) if name in present]
    # Filled by coreutils' fmt, as it always was: its line breaks are part of the release's bytes.
    head = subprocess.run(["fmt", "-w", str(WIDTH)], capture_output=True, text=True, check=True,
                          input=HEAD.format("; ".join(names))).stdout
    out = [f"Third-party notices of list-capture-devices {version}", "", head.rstrip("\n")]
    problems, copyrights, given = [], {}, set()
    for name in names:
        mine = [record for record in records if record.component == name]
        licence = " AND ".join(sorted({record.licence for record in mine}))
        out += ["", "=" * WIDTH, name, "", f"Licence: {licence}"]
        # The x86-64 exe first; each file with its members.
        taken = {}
        for record in mine:
            taker = (record.exe.endswith("-x86.exe"), record.package, record.exe, record.version)
            taken.setdefault(taker, {}).setdefault(record.file, {})[record.member] = None
        for (_, package, exe, package_version), files in sorted(taken.items()):
            out += wrap(f"In {exe}, from Debian's {package} {package_version}:")
            for file, members in files.items():  # their count if many, none if linked whole
                listed = f"{file}: " + ", ".join(members)
                if len(members) > 20:
                    listed = f"{file}: {len(members)} members"
                elif list(members) == ["-"]:
                    listed = file
                out += wrap(f"  {listed}", "      ")
        # Each package's terms in the order of its copyright file; a text that two share, once.
        places = sorted({(r.package, int(r.paragraph or 0), r.ranges): r for r in mine}.items())
        texts = {}
        for _, record in places:
            try:
                texts[terms_text(record, copyrights)] = None
            except Failure as why:
                problems.append(str(why))
        for text in texts:
            out += ["", text]
        for licence in sorted({record.licence for record in mine if record.ranges}):
            named = re.fullmatch(r"(\S+)( WITH \S+)?", licence)  # GPL-3.0-or-later WITH GCC-ex...
            if named is None or named[1] not in TEXTS:
                problems.append(f"release/components.txt: {name} is under {licence}, whose full "
                                "text the notices lack: say in release/notices.py where it is.")
            elif named[1] not in given:
                given.add(named[1])
                path = f"/usr/share/common-licenses/{TEXTS[named[1]]}"
                with open(path, encoding="utf-8") as text:
                    out += ["", text.read().rstrip("\n")]
    text = "\n".join(out) + "\n"
    # `/usr/share/common-licenses/GPL-3'
    for path in re.findall(r"/usr/share/\S*[\w/]", text):  # sorted, each once, with the rest
        problems.append(f"The notices would send their reader to {path}, on a Debian machine: "
                        "say in release/components.txt which lines state the terms without it.")
    if problems:
        raise Failure("\n".join(sorted(set(problems))))
    return text

def main(arguments):
    if len(arguments) != 2:
        raise Failure(__doc__.split("\n\n")[0], UNJUDGED)
    sys.stdout.write(notices(arguments[0], read_records(arguments[1])))
    return 0

if __name__ == "__main__":
    verdict.run(main)
