#!/usr/bin/env python3
"""Packs an install tree of the x86 and x64 builds into the release archive.

Usage: archive.py TREE DIST

Writes DIST/kvpcact-<version>-windows.zip, with every file of TREE under a
folder kvpcact-<version>/, and DIST/SHA256SUMS for it (sha256sum -c reads
it). The version is the one the tree's CMake package declares. The archive
depends on nothing but the files' names and contents: entries in name order,
one fixed time stamp and permission, the same compression.
"""
import hashlib
import pathlib
import re
import sys
import zipfile

VERSION_FILE = "lib/cmake/kvpcact/kvpcactConfigVersion.cmake"
TIMESTAMP = (1980, 1, 1, 0, 0, 0)  # the earliest a zip entry can hold
PERMISSIONS = 0o100644  # a regular file, rw-r--r--
UNIX = 3  # "made by" system, so that extractors take the permissions


def package_version(tree):
    text = (tree / VERSION_FILE).read_text()
    found = re.search(r'set\(PACKAGE_VERSION "([^"]+)"\)', text)
    if not found:
        sys.exit(f"archive.py: {tree / VERSION_FILE} declares no PACKAGE_VERSION")
    return found.group(1)


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    tree, dist = pathlib.Path(argv[1]), pathlib.Path(argv[2])
    if not (tree / VERSION_FILE).is_file():
        sys.exit(f"archive.py: {tree} is not an install tree of kvpcact (no {VERSION_FILE})")
    version = package_version(tree)
    folder = f"kvpcact-{version}"
    archive = dist / f"{folder}-windows.zip"

    dist.mkdir(parents=True, exist_ok=True)
    files = sorted(p.relative_to(tree).as_posix() for p in tree.rglob("*") if p.is_file())
    with zipfile.ZipFile(archive, "w") as out:
        for name in files:
            entry = zipfile.ZipInfo(f"{folder}/{name}", TIMESTAMP)
            entry.create_system = UNIX
            entry.external_attr = PERMISSIONS << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            out.writestr(entry, (tree / name).read_bytes(), compresslevel=9)

    digest = hashlib.sha256(archive.read_bytes()).hexdigest()
    (dist / "SHA256SUMS").write_text(f"{digest}  {archive.name}\n")
    print(f"{archive}: {len(files)} files, {archive.stat().st_size} bytes, sha256 {digest}")


if __name__ == "__main__":
    main(sys.argv)
