#!/usr/bin/python3
"""Usage: release/sbom.py VERSION COMPONENTS EXE...

Prints the bill of materials in CycloneDX 1.6: the exes with their SHA-256, the Debian packages that
COMPONENTS (from components.py) says each took code from, with their versions, purls and licences.
It depends on nothing but them and SOURCE_DATE_EPOCH: its serial number is derived from the rest."""
import hashlib, json, os, time

import verdict
from components import Package, read_records
from verdict import UNJUDGED, Failure

def purl(package):
    version = package.version.replace("%", "%25").replace("+", "%2B").replace(":", "%3A")
    return f"pkg:deb/debian/{package.name}@{version}?arch={package.architecture}"

def package_of(record):
    return Package(record.package, record.version, record.architecture)

def bill(version, records, exes, epoch):
    packages = sorted({package_of(r) for r in records})
    names = [os.path.basename(exe) for exe in exes]
    components, dependencies = [], [{"ref": "list-capture-devices", "dependsOn": names}]
    for exe, name in zip(exes, names):
        with open(exe, "rb") as data:
            digest = hashlib.sha256(data.read()).hexdigest()
        components.append({"type": "application", "bom-ref": name, "name": name, "version": version,
                           "hashes": [{"alg": "SHA-256", "content": digest}]})
        taken = sorted({package_of(r) for r in records if r.exe == name})
        dependencies.append({"ref": name, "dependsOn": [purl(package) for package in taken]})
    for package in packages:
        mine = [r for r in records if package_of(r) == package]
        components.append({
            "type": "library", "bom-ref": purl(package), "name": package.name,
            "version": package.version,
            "description": "; ".join(dict.fromkeys(r.component for r in mine)) + ", linked in from "
            + ", ".join(sorted({r.file for r in mine})),
            "purl": purl(package),
            "licenses": [{"expression": " AND ".join(sorted({r.licence for r in mine}))}]})
        dependencies.append({"ref": purl(package), "dependsOn": []})
    return {"bomFormat": "CycloneDX", "specVersion": "1.6", "serialNumber": "urn:uuid:SERIAL",
            "version": 1, "metadata": {
                "timestamp": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(epoch)),
                "component": {
                    "type": "application", "bom-ref": "list-capture-devices",
                    "name": "list-capture-devices", "version": version,
                    "description": "Lists the video-capture devices that DirectShow knows of",
                    "licenses": [{"license": {"id": "MIT"}}]}},
            "components": components, "dependencies": dependencies}

def numbered(text):
    """text, a bill, with its serial number: a UUID of version 8 (RFC 9562: made as its maker
    chooses) from the SHA-256 of the rest, so that the same bill has the same number."""
    d = hashlib.sha256(text.encode()).hexdigest()
    serial = f"{d[:8]}-{d[8:12]}-8{d[13:16]}-{(int(d[16], 16) & 3) | 8:x}{d[17:20]}-{d[20:32]}"
    return text.replace("urn:uuid:SERIAL", "urn:uuid:" + serial, 1)

def main(arguments):
    if len(arguments) < 3 or not os.environ.get("SOURCE_DATE_EPOCH", "").isdigit():
        raise Failure(__doc__.split("\n\n")[0] + ", with SOURCE_DATE_EPOCH set", UNJUDGED)
    print(numbered(json.dumps(bill(arguments[0], read_records(arguments[1]), arguments[2:],
                                   int(os.environ["SOURCE_DATE_EPOCH"])), indent=2)))
    return 0

if __name__ == "__main__":
    verdict.run(main)
