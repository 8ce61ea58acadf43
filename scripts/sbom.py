#!/usr/bin/python3
"""The release's SPDX 2.3 SBOM, and its check.

    sbom.py --output FILE --version V --commit SHA --native DIR --windows DIR [--only WHAT] DIST
    sbom.py --check FILE

Lists each artifact in DIST with its SHA-256 and what is built into it, taken
from the builds themselves: the headers the compiler read (ninja's dependency
log) name the libraries compiled in from headers, the Debian packages' Depends field names
the shared libraries, and the cross compiler names the runtime libraries it
links statically into the .exe files. Each component's version is that of the
Debian package that provided it on the build machine. The firmware image the
programs carry is listed with its SHA-256. --check validates a document
against packaging/spdx/spdx-2.3-subset.schema.json and checks that every
relationship names elements the document has.
"""
import argparse
import datetime
import functools
import hashlib
import json
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCHEMA = os.path.join(ROOT, "packaging", "spdx", "spdx-2.3-subset.schema.json")

# The programs' own licence (LICENSE at the root).
LICENCE = "Apache-2.0"

# Licences by Debian source package: the one fact a build cannot tell.
# Anything missing here is NOASSERTION, never a guess.
LICENCES = {
    "gcc-mingw-w64": "GPL-3.0-or-later WITH GCC-exception-3.1",
    "gcc-12": "GPL-3.0-or-later WITH GCC-exception-3.1",
    "mingw-w64": "ZPL-2.1 AND MIT",
    "simpleini": "MIT",
    "cli11": "BSD-3-Clause",
    "nlohmann-json3": "MIT",
    "qt6-base": "LGPL-3.0-only OR GPL-2.0-only OR GPL-3.0-only",
    "libmodbus": "LGPL-2.1-or-later",
    "glibc": "LGPL-2.1-or-later",
    "linux": "GPL-2.0-only WITH Linux-syscall-note",
}


# The programs of the ethernet-loader package (ninja targets of the native build).
PROGRAMS = ("ethernet-loader", "ethernet-loader-brand1", "ethernet-loader-cli")


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def owner(path):
    """The Debian package that installed path, or None."""
    try:
        out = subprocess.run(["dpkg", "-S", os.path.realpath(path)], capture_output=True, text=True).stdout
    except OSError:
        return None
    line = out.splitlines()[0] if out else ""
    return line.split(":")[0].strip() or None


@functools.lru_cache(maxsize=None)
def package_facts(name):
    fields = run("dpkg-query", "-W", "-f=${Version}\t${Source}\t${Architecture}\t${Homepage}", name)
    version, source, arch, homepage = fields.split("\t")
    source = (source.split(" ")[0] or name)
    return {"name": name, "version": version, "source": source, "arch": arch, "homepage": homepage}


@functools.lru_cache(maxsize=None)
def header_packages(build_dir, targets):
    """Packages whose headers under /usr/include the objects of targets read."""
    objects = [f for f in run("ninja", "-C", build_dir, "-t", "inputs", *targets).split()
               if f.endswith((".o", ".obj"))]
    deps = run("ninja", "-C", build_dir, "-t", "deps", *objects)
    headers = set()
    for line in deps.splitlines():
        if line.startswith(" ") and line.strip():
            path = line.strip()
            if path.startswith("host-headers/") or "/host-headers/" in path:
                # the cross build's copies of /usr/include
                path = "/usr/include/" + path.split("host-headers/", 1)[1]
            if path.startswith("/usr/include/"):
                headers.add(path)
    owners = {}
    for path in sorted(headers):
        # One look-up per file or folder under /usr/include (or its multiarch folder).
        parts = path.split("/")
        top = "/".join(parts[3:5] if parts[3].endswith("-linux-gnu") else parts[3:4])
        if top not in owners:
            owners[top] = owner(path)
    return sorted({p for p in owners.values() if p})


def built_in(headers, linked):
    """Of the header packages, those compiled into the program itself: all but
    the headers of a library it links (their code is in that library)."""
    linked_sources = {package_facts(n)["source"] for n in linked}
    return [n for n in headers if package_facts(n)["source"] not in linked_sources]


def mingw_runtime():
    """Packages of the libraries the cross compiler links into every .exe."""
    cxx = "x86_64-w64-mingw32-g++-posix"
    names = set()
    for lib in ("libstdc++.a", "libgcc.a", "libgcc_eh.a", "libssp.a", "libwinpthread.a", "libmingw32.a",
                "libmingwex.a", "libmsvcrt.a"):
        path = run(cxx, "-print-file-name=" + lib).strip()
        if os.path.isabs(path) and os.path.exists(path):
            pkg = owner(path)
            if pkg:
                names.add(pkg)
    return sorted(names)


def deb_depends(deb):
    field = run("dpkg-deb", "-f", deb, "Depends")
    return sorted({alt.strip().split(" ")[0].split(":")[0] for dep in field.split(",") for alt in dep.split("|")[:1]
                   if alt.strip()})


def spdx_id(text):
    return "SPDXRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", text)


class Document:
    def __init__(self, name, namespace, created):
        self.doc = {
            "spdxVersion": "SPDX-2.3",
            "dataLicense": "CC0-1.0",
            "SPDXID": "SPDXRef-DOCUMENT",
            "name": name,
            "documentNamespace": namespace,
            "creationInfo": {"created": created, "creators": ["Tool: ethernet-loader-release"]},
            "packages": [],
            "relationships": [],
        }
        self.ids = set()

    def add(self, package):
        if package["SPDXID"] not in self.ids:
            self.ids.add(package["SPDXID"])
            self.doc["packages"].append(package)
        return package["SPDXID"]

    def relate(self, a, kind, b):
        entry = {"spdxElementId": a, "relationshipType": kind, "relatedSpdxElement": b}
        if entry not in self.doc["relationships"]:
            self.doc["relationships"].append(entry)

    def debian_package(self, name):
        facts = package_facts(name)
        package = {
            "SPDXID": spdx_id("deb-" + name),
            "name": name,
            "versionInfo": facts["version"],
            "supplier": "Organization: Debian",
            "downloadLocation": "NOASSERTION",
            "filesAnalyzed": False,
            "licenseConcluded": "NOASSERTION",
            "licenseDeclared": LICENCES.get(facts["source"], "NOASSERTION"),
            "copyrightText": "NOASSERTION",
            "sourceInfo": "Debian source package " + facts["source"],
            "externalRefs": [{
                "referenceCategory": "PACKAGE-MANAGER",
                "referenceType": "purl",
                "referenceLocator": "pkg:deb/debian/%s@%s?arch=%s" % (name, facts["version"], facts["arch"]),
            }],
        }
        if facts["homepage"]:
            package["homepage"] = facts["homepage"]
        return self.add(package)

    def artifact(self, path, version, purpose, comment):
        name = os.path.basename(path)
        return self.add({
            "SPDXID": spdx_id(name),
            "name": name,
            "versionInfo": version,
            "packageFileName": name,
            "supplier": "Organization: QT510x/QT520x Ethernet Loader developers",
            "downloadLocation": "NOASSERTION",
            "filesAnalyzed": False,
            "checksums": [{"algorithm": "SHA256", "checksumValue": sha256(path)}],
            "licenseConcluded": "NOASSERTION",
            "licenseDeclared": LICENCE,
            "copyrightText": "Copyright 2026 the QT510x/QT520x Ethernet Loader developers",
            "primaryPackagePurpose": purpose,
            "comment": comment,
        })


def make(args):
    created = datetime.datetime.fromtimestamp(int(os.environ.get("SOURCE_DATE_EPOCH", "0")),
                                              datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    doc = Document("ethernet-loader-" + args.version,
                   "https://ethernet-loader.example.org/spdx/ethernet-loader-%s-%s" % (args.version, args.commit),
                   created)
    files = sorted(f for f in os.listdir(args.dist)
                   if f.endswith((".deb", ".exe", ".zip")) and args.version in f)
    if not files:
        sys.exit("sbom: no artifacts in " + args.dist)

    runtime = mingw_runtime() if args.only != "debian" else []
    for file in files:
        path = os.path.join(args.dist, file)
        if file.endswith(".deb"):
            build_dir = args.native
            targets = ("meter-sim",) if file.startswith("meter-sim") else PROGRAMS
        else:
            build_dir, targets = args.windows, ("release_files",)
        headers = header_packages(build_dir, targets)
        if file.endswith(".deb"):
            element = doc.artifact(path, args.version, "INSTALL", "Debian package")
            linked = deb_depends(path)
            for dep in linked:
                doc.relate(element, "DEPENDS_ON", doc.debian_package(dep))
        else:
            installer = file.endswith(".exe")
            element = doc.artifact(path, args.version, "INSTALL" if installer else "ARCHIVE",
                                   "Windows installer" if installer else "Windows programs, zipped")
            linked = runtime
            for name in runtime:
                doc.relate(element, "CONTAINS", doc.debian_package(name))
        doc.relate("SPDXRef-DOCUMENT", "DESCRIBES", element)
        for name in built_in(headers, linked):
            doc.relate(element, "CONTAINS", doc.debian_package(name))
        image = os.path.join(build_dir, "image", "flash_image.bin")
        digest = sha256(image)
        firmware = doc.add({
            "SPDXID": spdx_id("firmware-image-" + digest[:16]),
            "name": "Ethernet module firmware image",
            "downloadLocation": "NOASSERTION",
            "filesAnalyzed": False,
            "checksums": [{"algorithm": "SHA256", "checksumValue": digest}],
            "licenseConcluded": "NOASSERTION",
            "licenseDeclared": "NOASSERTION",
            "copyrightText": "NOASSERTION",
            "primaryPackagePurpose": "FIRMWARE",
            "comment": "The image the programs write into the meter's Ethernet module",
        })
        if not file.startswith("meter-sim"):
            doc.relate(element, "CONTAINS", firmware)
    with open(args.output, "w") as f:
        json.dump(doc.doc, f, indent=2, sort_keys=True)
        f.write("\n")


def check(path):
    import jsonschema
    with open(SCHEMA) as f:
        schema = json.load(f)
    with open(path) as f:
        doc = json.load(f)
    problems = [e.message + " at /" + "/".join(map(str, e.absolute_path))
                for e in jsonschema.Draft7Validator(schema).iter_errors(doc)]
    ids = {"SPDXRef-DOCUMENT"} | {p["SPDXID"] for p in doc.get("packages", [])}
    if len(ids) != len(doc.get("packages", [])) + 1:
        problems.append("an SPDXID is used twice")
    for r in doc.get("relationships", []):
        for key in ("spdxElementId", "relatedSpdxElement"):
            if r.get(key) not in ids:
                problems.append("relationship names unknown element %s" % r.get(key))
    if not any(r.get("relationshipType") == "DESCRIBES" for r in doc.get("relationships", [])):
        problems.append("the document describes nothing")
    for problem in problems:
        print("sbom: %s: %s" % (path, problem), file=sys.stderr)
    if problems:
        sys.exit(1)
    print("sbom: %s is valid SPDX 2.3 (%d packages)" % (path, len(doc["packages"])))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--check")
    parser.add_argument("--output")
    parser.add_argument("--version")
    parser.add_argument("--commit", default="unknown")
    parser.add_argument("--native", default="build")
    parser.add_argument("--windows", default="build-windows")
    parser.add_argument("--only", default="all")
    parser.add_argument("dist", nargs="?")
    args = parser.parse_args()
    if args.check:
        check(args.check)
    else:
        make(args)


if __name__ == "__main__":
    main()
