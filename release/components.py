#!/usr/bin/python3
"""Usage: release/components.py MAP...

Prints a Record a line for each archive member and object from outside the
build that the exe of each link map (NAME.map for NAME.exe) contains, with the
package that ships it and its terms in that package's copyright file, found
through components.txt. Any whose terms are not found fails it, named.
"""
import collections, fnmatch, os, re, subprocess, sys

from debian.copyright import Copyright, NotMachineReadableError, globs_to_re

# member: less the build's prefix and ".o" (- for an object linked whole);
# terms: "paragraph N" of the copyright file, or the ranges of it that state them.
Record = collections.namedtuple(
    "Record", "exe package version architecture file member component licence terms")
SPDX = {"expat": "MIT", "BSD-2-clause": "BSD-2-Clause", "BSD-3-clause": "BSD-3-Clause",
        "ISC": "ISC", "MIT": "MIT", "ZPL-2.1": "ZPL-2.1", "Zlib": "Zlib", "and": "AND", "or": "OR"}

def read_records(path):
    with open(path, encoding="utf-8") as lines:
        return [Record(*line.rstrip("\n").split("\t")) for line in lines]

def read_rows():
    """components.txt's rows: component, file patterns, member patterns, terms."""
    with open(os.path.join(os.path.dirname(__file__), "components.txt"), encoding="utf-8") as lines:
        rows = [line.split("|") for line in lines if line.strip() and not line.startswith("#")]
    for row in rows:
        if len(row) != 4:
            sys.exit(f"release/components.txt: not component | files | members | terms: {row}")
    return [(name.strip(), files.split(), members.split(), terms.strip())
            for name, files, members, terms in rows]

def linked(map_path):
    """The (file, member) pairs of a link map: the archive members of its
    first section, then the objects that it loaded whole."""
    with open(map_path, encoding="utf-8") as text:
        text = text.read()
    return (re.findall(r"^(\S*\.a)\(([^)]*)\)", text.split("\nDiscarded input sections")[0], re.M)
            + [(o, "-") for o in re.findall(r"^LOAD (\S*\.o)$", text, re.M)])

def packages_of(files):
    """{file: (package, version, architecture)} for each file that a package ships."""
    owners = {}
    shipped = subprocess.run(["dpkg", "-S", *files], capture_output=True, text=True).stdout
    for line in shipped.splitlines():
        owner, _, path = line.partition(": ")
        owners[path] = owner.split(", ")[0].split(":")[0]
    installed = subprocess.run(["dpkg-query", "-W", "-f=${Package}\t${Version}\t${Architecture}\n",
                                *set(owners.values())], capture_output=True, text=True).stdout
    installed = {line.split("\t")[0]: tuple(line.split("\t")) for line in installed.splitlines()}
    return {f: installed[owner] for f, owner in owners.items() if f in files}

def covering(copyright, source, stem):
    """(licence as SPDX, "paragraph N") of the terms for source, by the
    copyright file's own rule (the last Files paragraph that matches), or why
    there are none: also where a paragraph names a file of the member's name
    elsewhere, whose source the member may be."""
    for glob in (glob for files in copyright.all_files_paragraphs() for glob in files.files):
        base = glob.rsplit("/", 1)[-1]
        if base.startswith(stem + ".") and not {"*", "?"} & set(base) \
                and not globs_to_re([glob]).match(source):
            return None, (f"its copyright file has terms for {glob}, which may be its source, "
                          f"not {source}: say in release/components.txt which it is")
    paragraph = copyright.find_files_paragraph(source)
    if paragraph is None:
        return None, f"no Files paragraph of its copyright file covers {source}"
    # Debian's licence names as SPDX: one that SPDX lacks becomes a LicenseRef-.
    licence = re.sub(r"\S+", lambda name: SPDX.get(
        name[0], "LicenseRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", name[0])),
        paragraph.license.synopsis)
    return (licence, f"paragraph {list(copyright.all_paragraphs()).index(paragraph) + 1}"), None

def records(map_paths):
    """The Records of the maps' exes, sorted, and what stops them."""
    rows, found, problems, copyrights = read_rows(), set(), [], {}
    for map_path in map_paths:
        exe = os.path.basename(map_path)[:-len(".map")] + ".exe"
        build = os.path.dirname(os.path.abspath(map_path))
        pairs = [(os.path.realpath(os.path.join(build, f)), m) for f, m in linked(map_path)]
        pairs = [(f, m) for f, m in pairs if not f.startswith(build + "/")]  # not the build's own
        packages = packages_of({f for f, _ in pairs})
        for file, member in pairs:
            if file not in packages:
                problems.append(f"{exe} links {file}, which no installed Debian package ships: "
                                "its terms cannot be found.")
                continue
            package, name = packages[file], os.path.basename(file)
            stem = re.sub(r"^(lib(32|64)_.*?_a-)?(.*?_la-)?(.*?)(\.o)?$", r"\4", member)
            here = f"{exe} links {name}({member}), of {package[0]}"
            row = next((r for r in rows if any(fnmatch.fnmatchcase(name, p) for p in r[1])
                        and any(fnmatch.fnmatchcase(stem, p) for p in r[2])), None)
            if row is None:
                problems.append(f"{here}, which no row of release/components.txt names: say there "
                                "where its source stands, so that its terms are found.")
            elif " /" in row[3]:  # no Files paragraphs: the row says which parts of the file
                licence, ranges = row[3].split(" /", 1)
                found.add(Record(exe, *package, name, stem, row[0], licence, "/" + ranges))
            else:
                path = f"/usr/share/doc/{package[0]}/copyright"
                try:
                    if path not in copyrights:
                        with open(path, encoding="utf-8") as text:
                            copyrights[path] = Copyright(text, strict=False)
                except (OSError, NotMachineReadableError) as error:
                    problems.append(f"{here}: its copyright file has no Files paragraphs: {error}")
                    continue
                # The member's source, and the headers compiled into it with terms of their own.
                for source in row[3].replace("%", stem).split():
                    terms, why = covering(copyrights[path], source, stem)
                    problems += [f"{here}: {why}."] if why else []
                    found |= {Record(exe, *package, name, stem, row[0], *terms)} if terms else set()
    return sorted(found), problems

if __name__ == "__main__":
    try:
        found, problems = records(sys.argv[1:])
    except OSError as error:
        sys.exit(f"release/components.py: {error}")
    if problems:
        sys.exit("\n".join(problems))
    for record in found:
        print("\t".join(record))
