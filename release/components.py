#!/usr/bin/python3
"""Usage: release/components.py MAP...

Prints a Record a line for each archive member and object from outside the build that the exe of
each link map (NAME.map for NAME.exe) contains, with the package that ships it and its terms in its
copyright file, found through components.txt; any whose terms are not found fails it, named."""
import collections, fnmatch, os, re, subprocess

from debian.copyright import Copyright, NotMachineReadableError

import verdict
from verdict import UNJUDGED, Failure

# A row of components.txt (its comment says more); its terms are either sources (the member's own
# first) or a licence and ranges (or the file in release/ that gives its terms).
Row = collections.namedtuple("Row", "component files members sources licence ranges")
# What an exe took, with where its terms stand in the package's copyright file: the number of the
# Files paragraph among all (from 1), or the row's ranges or file.
Record = collections.namedtuple(
    "Record", "exe package version architecture file member component licence paragraph ranges")
Package = collections.namedtuple("Package", "name version architecture")
SPDX = {"expat": "MIT", "BSD-2-clause": "BSD-2-Clause", "BSD-3-clause": "BSD-3-Clause",
        "ISC": "ISC", "MIT": "MIT", "ZPL-2.1": "ZPL-2.1", "Zlib": "Zlib", "and": "AND", "or": "OR"}

def read_records(path):
    """The Records that this printed to path."""
    with open(path, encoding="utf-8") as lines:
        return [Record(*line.rstrip("\n").split("\t")) for line in lines]

def read_rows(path=os.path.join(os.path.dirname(__file__), "components.txt")):
    """components.txt's Rows, in its order."""
    rows = []
    with open(path, encoding="utf-8") as text:
        for fields in (line.split("|") for line in text if line.strip() and line[0] != "#"):
            if len(fields) != 4:
                raise Failure(f"{path}: not component | files | members | terms: {fields}",
                              UNJUDGED)
            component, files, members, terms = (field.strip() for field in fields)
            # GPL-3.0-or-later WITH GCC-exception-3.1 /^GCC is/,/^The lib/
            # GPL-2.0-or-later WITH GCC-exception-2.0 release/cp-demangle.txt
            given = re.fullmatch(r"(.+?) (/.*|release/\S+)", terms)
            if given:
                rows.append(Row(component, files.split(), members.split(), [], given[1], given[2]))
            else:  # mingw-w64-crt/stdio/%.c
                rows.append(Row(component, files.split(), members.split(), terms.split(), "", ""))
    return rows

def packages_of(files):
    """{file: Package} for each of files that an installed package ships."""
    owners = {}
    shipped = subprocess.run(["dpkg", "-S", *files], capture_output=True, text=True).stdout
    # mingw-w64-x86-64-dev: /usr/x86_64-w64-mingw32/lib/crt2.o
    for line in shipped.splitlines():
        owner, _, path = line.partition(": ")
        owners[path] = owner.split(", ")[0].split(":")[0]
    installed = subprocess.run(["dpkg-query", "-W", "-f=${Package}\t${Version}\t${Architecture}\n",
                                *set(owners.values())], capture_output=True, text=True).stdout
    packages = {package.name: package
                for package in (Package(*line.split("\t")) for line in installed.splitlines())}
    return {path: packages[owner] for path, owner in owners.items() if path in files}

def matches(patterns, name):
    """Whether name matches any of patterns (shell patterns, * for all)."""
    return any(fnmatch.fnmatchcase(name, pattern) for pattern in patterns)

def row_of(rows, name, stem, here):
    """The first of rows that names member stem of file name; a Failure, after here, where none
    does, or where it takes all (*) of a file that other rows name, whose terms differ."""
    row = next((row for row in rows if matches(row.files, name) and matches(row.members, stem)),
               None)
    if row is None:
        raise Failure(f"{here}, which no row of release/components.txt names: say there where its "
                      "source stands, so that its terms are found.")
    if row.members == ["*"] and sum(matches(other.files, name) for other in rows) > 1:
        raise Failure(f"{here}: release/components.txt names {name} in more than one row, yet "
                      f"takes all its members (*) in one: name {stem} there, with its own source's "
                      "terms.")
    return row

def read_copyright(package, copyrights):
    """package's machine-readable copyright file, read once into copyrights."""
    path = f"/usr/share/doc/{package}/copyright"
    if package not in copyrights:
        with open(path, encoding="utf-8") as text:
            try:
                copyrights[package] = Copyright(text, strict=False)
            except NotMachineReadableError as error:
                raise Failure(f"{path} has no Files paragraphs to find terms in: {error}.")
    return copyrights[package]

def member_records(exe, package, name, stem, row, copyrights):
    """The Records of one member that row names; a Failure that says all that stops them."""
    took = [exe, *package, name, stem, row.component]
    if row.ranges:
        return [Record(*took, row.licence, "", row.ranges)]
    here = f"{exe} links {name}({stem}), of {package.name}"
    copyright = read_copyright(package.name, copyrights)
    sources = [source.replace("%", stem) for source in row.sources]
    # A file named (not by a wildcard) elsewhere by the member's name may be its source.
    named = [glob for paragraph in copyright.all_files_paragraphs() for glob in paragraph.files
             if "*" not in glob and "?" not in glob]
    others = [glob for glob in named if glob.rsplit("/", 1)[-1].startswith(stem + ".")]
    if others and sources[0] not in named:
        raise Failure(f"{here}: its copyright file has terms for {others[0]}, which may be its "
                      f"source, not {sources[0]}: say in release/components.txt which it is.")
    records, problems = [], []
    # The member's source, and the headers compiled into it with terms of their own.
    for source in sources:
        paragraph = copyright.find_files_paragraph(source)
        if paragraph is None:
            problems.append(f"{here}: no Files paragraph of its copyright file covers {source}.")
            continue
        number = list(copyright.all_paragraphs()).index(paragraph) + 1
        # Debian's licence names as SPDX: one that SPDX lacks becomes a LicenseRef-.
        licence = " ".join(SPDX.get(word, "LicenseRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", word))
                           for word in paragraph.license.synopsis.split())
        records.append(Record(*took, licence, str(number), ""))
    if problems:
        raise Failure("\n".join(problems))
    return records

def records(map_paths):
    """The Records of the maps' exes, sorted, each once; a Failure that says all that stops them."""
    rows, found, problems, copyrights = read_rows(), set(), [], {}
    for map_path in map_paths:
        exe = os.path.basename(map_path)[:-len(".map")] + ".exe"
        build = os.path.dirname(os.path.abspath(map_path))
        with open(map_path, encoding="utf-8") as text:
            text = text.read()
        # The archive members of the map's first section, then the objects loaded whole (member -):
        # /usr/lib/gcc/x86_64-w64-mingw32/12-posix/libstdc++.a(bad_alloc.o)
        kept = text.split("\nDiscarded input sections")[0]
        pairs = re.findall(r"^(\S*\.a)\(([^)]*)\)", kept, re.M)
        # LOAD /usr/x86_64-w64-mingw32/lib/crt2.o
        pairs += [(path, "-") for path in re.findall(r"^LOAD (\S*\.o)$", text, re.M)]
        pairs = [(os.path.realpath(os.path.join(build, path)), member) for path, member in pairs]
        pairs = [pair for pair in pairs if not pair[0].startswith(build + "/")]  # not the build's
        packages = packages_of({path for path, _ in pairs})
        for path, member in pairs:
            if path not in packages:
                problems.append(f"{exe} links {path}, which no installed Debian package ships: "
                                "its terms cannot be found.")
                continue
            name = os.path.basename(path)
            # lib64_libmingwex_a-mingw_pformat.o: mingw_pformat
            stem = re.sub(r"^(lib(32|64)_.*?_a-)?(.*?_la-)?(.*?)(\.o)?$", r"\4", member)
            try:
                here = f"{exe} links {name}({stem}), of {packages[path].name}"
                row = row_of(rows, name, stem, here)
                found.update(member_records(exe, packages[path], name, stem, row, copyrights))
            except Failure as stopped:
                problems.append(str(stopped))
    if problems:
        raise Failure("\n".join(problems))
    return sorted(found)

def main(arguments):
    if not arguments:
        raise Failure(__doc__.split("\n\n")[0], UNJUDGED)
    for record in records(arguments):
        print("\t".join(record))
    return 0

if __name__ == "__main__":
    verdict.run(main)
