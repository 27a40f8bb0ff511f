#!/usr/bin/python3
"""Checks the budgets of a built kvpcact.dll by reading the file itself.

Usage: check_dll.py [--version X.Y.Z] DLL ARCH [GROUP...]   (ARCH: x86 or
x64; groups: image linkage hardening resources unwind; all when none is
named). With --version, the version resource must give that version, in its
numbers (missing parts 0) and in its FileVersion and ProductVersion strings,
exactly as written. Prints one line per broken budget and exits 1 if any.
Needs Debian's pefile (python3-pefile), hence /usr/bin/python3; the unwind
check reads the code with OBJDUMP from the environment (MinGW's objdump for
the DLL's architecture).
"""
import functools
import os
import re
import struct
import subprocess
import sys

import pefile

SCN = pefile.SECTION_CHARACTERISTICS
EXECUTE, WRITE, SHARED = (SCN["IMAGE_SCN_MEM_" + f] for f in ("EXECUTE", "WRITE", "SHARED"))
RT_ICON, RT_GROUP_ICON = pefile.RESOURCE_TYPE["RT_ICON"], pefile.RESOURCE_TYPE["RT_GROUP_ICON"]
DIR = pefile.DIRECTORY_ENTRY

MAX_FILE_BYTES = 8192
MAX_CODE_BYTES = 1024
IMPORTS = {
    "KERNEL32.dll": {"CloseHandle", "CreateFileMappingA", "GetTickCount", "MapViewOfFile",
                     "UnmapViewOfFile"},
    "USER32.dll": {"CallNextHookEx", "SetWindowsHookExA", "UnhookWindowsHookEx"},
}
EXPORTS = [(1, "SetPCActivityHook")]  # (ordinal, name)
# What each architecture differs in.
ARCHES = {
    "x86": {"machine": "IMAGE_FILE_MACHINE_I386",
            "characteristics": ["DYNAMIC_BASE", "NX_COMPAT", "NO_SEH"]},
    "x64": {"machine": "IMAGE_FILE_MACHINE_AMD64",
            "characteristics": ["DYNAMIC_BASE", "NX_COMPAT", "HIGH_ENTROPY_VA"]},
}
VERSION_TABLE = "040904E4"
VERSION_STRINGS = {
    "FileDescription": "PC Activity Hooker for auto-locking database",
    "InternalName": "PCACT",
    "OriginalFilename": "kvpcact.dll",
    # Present with any text.
    "CompanyName": None, "FileVersion": None, "ProductName": None, "ProductVersion": None,
    "LegalCopyright": None,
}
TRANSLATION = (0x0409, 1252)
VFT_DLL = 2
ICON_GROUP = "MAINICON"


def name_of(section):
    return section.Name.rstrip(b"\0").decode("latin-1")


def directory_size(pe, entry):
    return pe.OPTIONAL_HEADER.DATA_DIRECTORY[DIR[entry]].Size


def check_image(pe, path, arch):
    """A DLL for the architecture, within its size budgets, entered through our own code."""
    size = os.path.getsize(path)
    code = sum(s.Misc_VirtualSize for s in pe.sections if s.Characteristics & EXECUTE)
    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    entry_section = pe.get_section_by_rva(entry) if entry else None
    crt_sections = sorted({name_of(s) for s in pe.sections} & {".CRT", ".tls"})
    return [
        (pe.FILE_HEADER.Machine == pefile.MACHINE_TYPE[ARCHES[arch]["machine"]],
         f"machine is {pe.FILE_HEADER.Machine:#x}, not {ARCHES[arch]['machine']}"),
        (pe.is_dll(), "IMAGE_FILE_DLL is not set"),
        (size <= MAX_FILE_BYTES, f"file is {size} bytes, budget {MAX_FILE_BYTES}"),
        (code <= MAX_CODE_BYTES, f"executable sections hold {code} bytes, budget {MAX_CODE_BYTES}"),
        (entry_section is not None and entry_section.Characteristics & EXECUTE,
         f"entry point {entry:#x} is not in an executable section"),
        (not crt_sections, f"run-time start-up sections present: {', '.join(crt_sections)}"),
    ]


def check_linkage(pe, path, arch):
    """Exactly the eight platform calls in, exactly one export out."""
    imported = {}
    for dll in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        names = {(i.name or b"#%d" % i.ordinal).decode() for i in dll.imports}
        imported.setdefault(dll.dll.decode(), set()).update(names)
    failures = []
    for dll in sorted(IMPORTS.keys() | imported.keys(), key=str.upper):
        want, got = IMPORTS.get(dll, set()), imported.get(dll, set())
        failures.append((want == got, f"imports from {dll}: "
                                      f"missing {sorted(want - got) or 'none'}, "
                                      f"unexpected {sorted(got - want) or 'none'}"))
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    symbols = exports.symbols if exports else []
    got = [(s.ordinal, s.name.decode() if s.name else None) for s in symbols]
    forwarded = [name for (_, name), s in zip(got, symbols) if s.forwarder]
    dll_name = pe.get_string_at_rva(exports.struct.Name).decode() if exports else None
    return failures + [
        (got == EXPORTS, f"exports are {got}, expected {EXPORTS}"),
        (not forwarded, f"forwarded exports: {forwarded}"),
        (dll_name == "kvpcact.dll", f"export directory names the DLL {dll_name!r}"),
    ]


def check_hardening(pe, path, arch):
    """ASLR (high-entropy on x64), DEP, no SEH handlers on x86; no shared
    section, writable code or TLS."""
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    failures = [
        (flags & pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_" + f],
         f"DllCharacteristics lacks {f}") for f in ARCHES[arch]["characteristics"]]
    for s in pe.sections:
        failures += [
            (not s.Characteristics & SHARED, f"section {name_of(s)} is shared between processes"),
            (s.Characteristics & (WRITE | EXECUTE) != WRITE | EXECUTE,
             f"section {name_of(s)} is both writable and executable"),
        ]
    return failures + [
        (directory_size(pe, "IMAGE_DIRECTORY_ENTRY_BASERELOC") > 0,
         "no base relocations: the loader cannot move the image"),
        (directory_size(pe, "IMAGE_DIRECTORY_ENTRY_TLS") == 0, "TLS directory is not empty"),
    ]


def resource_data(pe, entry):
    """Bytes of the first language of a named or numbered resource entry."""
    data = entry.directory.entries[0].data.struct
    return pe.get_data(data.OffsetToData, data.Size)


def check_version(fixed, strings, version):
    """The fixed numbers and the version strings all give `version`."""
    want = tuple(int(part) for part in version.split(".")) + (0,) * (4 - version.count(".") - 1)
    failures = []
    for field in ("FileVersion", "ProductVersion"):
        got = None
        if fixed is not None:
            high, low = getattr(fixed, field + "MS"), getattr(fixed, field + "LS")
            got = (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)
        failures += [
            (got == want, f"fixed file info {field} is {got}, expected {want}"),
            (strings.get(field) == version,
             f"version string {field} is {strings.get(field)!r}, expected {version!r}"),
        ]
    return failures


def check_resources(pe, path, arch, version=None):
    """Version information and the one 32 x 32, 16-colour icon."""
    strings, translations = {}, []
    for block in (pe.FileInfo[0] if getattr(pe, "FileInfo", None) else []):
        for table in getattr(block, "StringTable", []):
            strings[table.LangID.decode()] = {k.decode(): v.decode()
                                              for k, v in table.entries.items()}
        for var in getattr(block, "Var", []):
            values = [int(v, 16) for v in var.entry.get(b"Translation", "").split()]
            translations += list(zip(values[::2], values[1::2]))
    failures = [(VERSION_TABLE in strings, f"no StringFileInfo table {VERSION_TABLE}; "
                                           f"found {sorted(strings)}")]
    for key, want in VERSION_STRINGS.items() if VERSION_TABLE in strings else []:
        got = strings[VERSION_TABLE].get(key)
        ok = bool(got) if want is None else got == want
        failures.append((ok, f"version string {key} is {got!r}, expected "
                             f"{'any text' if want is None else repr(want)}"))
    fixed = getattr(pe, "VS_FIXEDFILEINFO", None)
    file_type = fixed[0].FileType if fixed else None
    failures += [
        (translations == [TRANSLATION], f"VarFileInfo Translation is {translations}, "
                                        f"expected [{TRANSLATION}]"),
        (file_type == VFT_DLL, f"fixed file info FILETYPE is {file_type}, not VFT_DLL"),
    ]
    if version:
        failures += check_version(fixed[0] if fixed else None, strings.get(VERSION_TABLE, {}),
                                  version)

    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    by_type = {t.id: t.directory.entries for t in root.entries} if root else {}
    groups = {str(e.name or e.id): e for e in by_type.get(RT_GROUP_ICON, [])}
    icons = {e.id: e for e in by_type.get(RT_ICON, [])}
    if ICON_GROUP not in groups:
        return failures + [(False, f"no icon group {ICON_GROUP}; found {sorted(groups)}")]
    group = resource_data(pe, groups[ICON_GROUP])
    count = struct.unpack_from("<H", group, 4)[0]
    # GRPICONDIRENTRY: width, height, colours, reserved, planes, bits, bytes, icon id.
    entries = [struct.unpack_from("<BBBBHHIH", group, offset)
               for offset in range(6, min(len(group), 6 + 14 * count) - 13, 14)]
    failures.append((count == 1, f"icon group {ICON_GROUP} has {count} images, expected 1"))
    for width, height, colours, _, _, bits, _, icon_id in entries:
        failures += [
            ((width, height) == (32, 32), f"icon {icon_id} is {width} x {height}, not 32 x 32"),
            (colours == 16 or bits == 4, f"icon {icon_id} has {colours} colours and {bits} bits"
                                         " per pixel, not 16 colours"),
            (icon_id in icons, f"icon group names RT_ICON {icon_id}, which does not exist"),
        ]
        if icon_id in icons:
            # The image itself: a bitmap twice as high as the icon (colours, then mask).
            image = struct.unpack_from("<4xiixxH", resource_data(pe, icons[icon_id]))
            failures.append((image == (32, 64, 4), f"RT_ICON {icon_id} holds a bitmap of width, "
                                                   f"height, bits {image}, not (32, 64, 4)"))
    return failures


CALL = re.compile(r"^\s*([0-9a-f]+):\s.*\scall")


def check_unwind(pe, path, arch):
    """x64: every function that calls another has unwind data, so that a stack
    walk through a hook procedure finds its way back to the caller. x86 needs
    none and has none."""
    functions = [(f.struct.BeginAddress, f.struct.EndAddress)
                 for f in getattr(pe, "DIRECTORY_ENTRY_EXCEPTION", [])]
    if arch == "x86":
        return [(not functions, f"{len(functions)} x64 unwind entries in an x86 image")]
    base = pe.OPTIONAL_HEADER.ImageBase
    listing = subprocess.run([os.environ.get("OBJDUMP", "objdump"), "-d", path],
                             capture_output=True, text=True, check=True).stdout
    calls = [int(m.group(1), 16) - base for m in map(CALL.match, listing.splitlines()) if m]
    uncovered = [rva for rva in calls if not any(b <= rva < e for b, e in functions)]
    named = [(pe.OPTIONAL_HEADER.AddressOfEntryPoint, "the entry point")] + [
        (s.address, s.name.decode()) for s in pe.DIRECTORY_ENTRY_EXPORT.symbols]
    return [
        (calls, "no call instructions found: the listing was not read"),
        (not uncovered, "calls outside any function with unwind data at RVA "
                        + ", ".join(f"{rva:#x}" for rva in uncovered)),
        (all(f.unwindinfo is not None for f in getattr(pe, "DIRECTORY_ENTRY_EXCEPTION", [])),
         "a function's unwind data cannot be read"),
    ] + [(any(b == rva for b, _ in functions), f"{what} has no unwind data")
         for rva, what in named]


GROUPS = {"image": check_image, "linkage": check_linkage, "hardening": check_hardening,
          "resources": check_resources, "unwind": check_unwind}


VERSION = re.compile(r"\d+(\.\d+){0,3}")


def main(argv):
    version = None
    if argv[1:2] == ["--version"] and len(argv) > 2:
        version, argv = argv[2], argv[:1] + argv[3:]
    if (len(argv) < 3 or argv[2] not in ARCHES or not set(argv[3:]) <= GROUPS.keys()
            or (version is not None and not VERSION.fullmatch(version))):
        sys.exit(__doc__)
    path, arch = argv[1], argv[2]
    groups = argv[3:] or GROUPS
    checks = dict(GROUPS, resources=functools.partial(check_resources, version=version))
    pe = pefile.PE(path)
    broken = [f"{path}: {group}: {message}"
              for group in groups
              for ok, message in checks[group](pe, path, arch) if not ok]
    print("\n".join(broken) or f"{path}: {', '.join(groups)}: all budgets kept")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
