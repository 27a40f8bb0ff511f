#!/usr/bin/env python3
"""Packs the release twice, from clean builds in folders of different names,
and checks that both archives are the same bytes and hold what the README
documents, and that the files both builds install are the same.

Usage: check_archive.py SOURCE_DIR VERSION
"""
import hashlib
import pathlib
import struct
import subprocess
import sys
import tempfile
import zipfile

# Per architecture: the PE machine of its programs.
ARCHES = {"x86": 0x14C, "x64": 0x8664}
PER_ARCH = ["bin/kvpcact.dll", "bin/pcactmon.exe",
            "lib/kvpcact.def", "lib/kvpcact.lib", "lib/libkvpcact.dll.a"]
# Shipped as they are in the sources.
FROM_SOURCE = {"LICENSE": "LICENSE", "README.md": "README.md",
               "include/kvpcact.h": "include/kvpcact.h",
               "lib/cmake/kvpcact/kvpcactConfig.cmake": "cmake/kvpcactConfig.cmake"}
GENERATED = ["lib/cmake/kvpcact/kvpcactConfigVersion.cmake"]
TIMESTAMP = (1980, 1, 1, 0, 0, 0)
PERMISSIONS = 0o100644


def package(source, work):
    """Runs scripts/package.sh into `work`; the archive folder."""
    done = subprocess.run([str(source / "scripts/package.sh"), "--build-dir", str(work / "build"),
                           "--dist", str(work / "dist")],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if done.returncode != 0:
        sys.exit(f"{done.stdout}\npackage.sh failed with status {done.returncode}")
    return work / "dist"


def shared_files_differ(work):
    """Files that both builds install, yet with different contents: the
    archive would hold whichever came last."""
    trees = []
    for preset in ("mingw", "mingw64"):
        tree = work / "installed" / preset
        subprocess.run(["cmake", "--install", str(work / "build" / preset), "--prefix", str(tree)],
                       stdout=subprocess.DEVNULL, check=True)
        trees.append({p.relative_to(tree): p.read_bytes() for p in tree.rglob("*") if p.is_file()})
    return [f"the two builds install different {path}"
            for path in sorted(trees[0].keys() & trees[1].keys()) if trees[0][path] != trees[1][path]]


def machine(image):
    """The Machine field of a PE file's header."""
    (pe_offset,) = struct.unpack_from("<I", image, 0x3C)
    return struct.unpack_from("<H", image, pe_offset + 4)[0]


def check(source, version, dist, other_dist):
    name = f"kvpcact-{version}-windows.zip"
    archive = dist / name
    if not archive.is_file():
        return [f"no {name} in {dist}: {sorted(p.name for p in dist.iterdir())}"]
    data = archive.read_bytes()
    failures = []
    if data != (other_dist / name).read_bytes():
        failures.append("two clean packagings give different archives")
    sums = (dist / "SHA256SUMS").read_text()
    if sums != f"{hashlib.sha256(data).hexdigest()}  {name}\n":
        failures.append(f"SHA256SUMS does not match the archive: {sums!r}")

    folder = f"kvpcact-{version}/"
    expected = sorted([*FROM_SOURCE, *GENERATED] +
                      [f"{arch}/{path}" for arch in ARCHES for path in PER_ARCH])
    with zipfile.ZipFile(archive) as zipped:
        entries = zipped.infolist()
        listed = [e.filename for e in entries]
        if listed != [folder + path for path in expected]:
            failures.append("archive holds:\n  " + "\n  ".join(listed) +
                            "\nexpected, in this order:\n  " +
                            "\n  ".join(folder + path for path in expected))
        for e in entries:
            if e.date_time != TIMESTAMP or e.external_attr >> 16 != PERMISSIONS:
                failures.append(f"{e.filename}: time {e.date_time}, mode "
                                f"{e.external_attr >> 16:o}; expected {TIMESTAMP}, "
                                f"{PERMISSIONS:o}")
        present = set(listed)
        for path, origin in FROM_SOURCE.items():
            if folder + path in present and \
                    zipped.read(folder + path) != (source / origin).read_bytes():
                failures.append(f"{path} differs from {origin} in the sources")
        for arch, want in ARCHES.items():
            for path in PER_ARCH:
                entry = f"{folder}{arch}/{path}"
                if path.endswith((".dll", ".exe")) and entry in present:
                    got = machine(zipped.read(entry))
                    if got != want:
                        failures.append(f"{entry} is for machine {got:#x}, not {want:#x}")
    if not failures:
        print(f"{name}: {len(data)} bytes, the same from two clean packagings:")
        print("\n".join(f"  {e.file_size:8d}  {e.filename}" for e in entries))
    return failures


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    source, version = pathlib.Path(argv[1]).resolve(), argv[2]
    with tempfile.TemporaryDirectory(prefix="kvpcact-package-a.") as first, \
            tempfile.TemporaryDirectory(prefix="kvpcact-package-bb.") as second:
        dists = [package(source, pathlib.Path(work)) for work in (first, second)]
        failures = check(source, version, *dists) + shared_files_differ(pathlib.Path(first))
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
