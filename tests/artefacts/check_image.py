#!/usr/bin/python3
"""Checks of the built programs, ScarvelRepair.exe and ScarvelCheck.exe, as files: PE image,
resources and imports.

  check_image.py image --arch x86|x64 [--program repair|check] EXE
  check_image.py imports EXE ALLOWLIST
"""
import argparse
import os
import re
import struct
import sys
import xml.etree.ElementTree as ET

import pefile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from bed import PRODUCT  # noqa: E402
from run import Checks  # noqa: E402

ARCHES = {
    # machine, optional header magic, subsystem version, DllCharacteristics of this build only
    "x86": (0x014C, 0x010B, (5, 1), ("NO_SEH",)),
    "x64": (0x8664, 0x020B, (5, 2), ()),
}
# Known DLLs: Windows maps them from System32 before any of the program's code runs. Any other
# imported DLL is searched for in the program's own folder first (a download folder, say),
# before wmain can confine the search.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "shell32.dll", "shlwapi.dll", "ole32.dll", "msvcrt.dll"}
RUNTIME_DLL_PREFIXES = ("libgcc", "libstdc++", "libwinpthread")
DLLCHAR_BITS = {
    "DYNAMIC_BASE": 0x0040,
    "NX_COMPAT": 0x0100,
    "NO_SEH": 0x0400,
    "TERMINAL_SERVER_AWARE": 0x8000,
}
BOTH_DLLCHARS = ("DYNAMIC_BASE", "NX_COMPAT", "TERMINAL_SERVER_AWARE")
SCN_MEM_SHARED, SCN_MEM_EXECUTE, SCN_MEM_WRITE = 0x10000000, 0x20000000, 0x80000000
# Writes to fs:[0], the head of the thread's SEH chain: mov r32 (disp32 modrm), mov eax, pop.
FS0_WRITE = re.compile(rb"\x64(?:\x89[\x05\x0d\x15\x1d\x25\x2d\x35\x3d]|\xa3|\x8f\x05)\x00\x00\x00\x00")
# The system runtime's wide printf family, where "%s" is wide, and not mingw's own ISO printf.
CRT_FORMATTING = ("vwprintf", "_snwprintf")
RT_VERSION, RT_MANIFEST = 16, 24
EXPECTED_RESOURCES = {(RT_MANIFEST, 1, 0x0409), (RT_VERSION, 1, 0x0804)}
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
STRING_TABLE = "080404b0"
STRING_KEYS = ["CompanyName", "FileDescription", "FileVersion", "InternalName",
               "LegalCopyright", "OriginalFilename", "ProductName", "ProductVersion"]
EXACT_STRINGS = {
    "FileDescription": PRODUCT + " \u9a71\u52a8\u4fee\u590d\u5de5\u5177",
    "FileVersion": "1.0.0.2",
    "InternalName": "ScarvelRepair",
    "OriginalFilename": "ScarvelRepair.exe",
    "ProductVersion": "1.0.0.2",
}
# Calls that change the machine: the check, which only reads, imports none of them.
MACHINE_CHANGES = {"RegSetValueExW", "RegDeleteValueW", "RegCreateKeyExW", "CreateServiceW",
                   "ChangeServiceConfigW", "StartServiceW", "ControlService", "DeleteService",
                   "CreateProcessW", "CreateProcessAsUserW", "TerminateProcess", "CoCreateInstance"}
# What sets each program apart: its execution level, the strings that name it, its DLLs, the
# runtime's formatting it uses, and the calls it must not import.
PROGRAMS = {
    "repair": ("requireAdministrator", EXACT_STRINGS, SYSTEM_DLLS, CRT_FORMATTING, set()),
    "check": ("asInvoker",
              dict(EXACT_STRINGS, FileDescription=PRODUCT + " \u9a71\u52a8\u68c0\u6d4b\u5de5\u5177",
                   InternalName="ScarvelCheck", OriginalFilename="ScarvelCheck.exe"),
              SYSTEM_DLLS - {"ole32.dll"}, ("_snwprintf",), MACHINE_CHANGES),
}





def load(path):
    try:
        return pefile.PE(path, fast_load=False)
    except (OSError, pefile.PEFormatError) as e:
        sys.exit(f"FAIL: cannot read {path} as a PE image: {e}")


def imports_of(pe):
    """[(dll, name or None, ordinal or None)] in the import table's order."""
    out = []
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode("ascii", "replace")
        for imp in entry.imports:
            name = imp.name.decode("ascii", "replace") if imp.name else None
            out.append((dll, name, None if imp.name else imp.ordinal))
    return out


def resources_of(pe):
    """{(type, id, language): bytes}; named entries keep their name in place of the id."""
    out = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if root is None:
        return out
    ident = lambda e: e.id if e.name is None else str(e.name)
    for t in root.entries:
        for n in (t.directory.entries if hasattr(t, "directory") else []):
            for lang in (n.directory.entries if hasattr(n, "directory") else []):
                d = lang.data.struct
                out[(ident(t), ident(n), ident(lang))] = pe.get_data(d.OffsetToData, d.Size)
    return out


# --- VS_VERSIONINFO, parsed by hand so key order and value lengths are visible ---------

class Block:
    def __init__(self, key, wtype, value_length, value, children):
        self.key, self.wtype, self.value_length = key, wtype, value_length
        self.value, self.children = value, children


def align4(n):
    return (n + 3) & ~3


def parse_block(data, off, limit):
    if off + 6 > limit:
        raise ValueError(f"block header at {off:#x} runs past its parent")
    length, value_length, wtype = struct.unpack_from("<HHH", data, off)
    end = off + length
    if length < 6 or end > limit:
        raise ValueError(f"block at {off:#x} has bad length {length}")
    p = off + 6
    chars = []
    while True:
        if p + 2 > end:
            raise ValueError(f"key of block at {off:#x} is not terminated")
        (c,) = struct.unpack_from("<H", data, p)
        p += 2
        if c == 0:
            break
        chars.append(chr(c))
    key = "".join(chars)
    p = align4(p)
    size = value_length * 2 if wtype == 1 else value_length
    if p + size > end:
        raise ValueError(f"value of '{key}' ({size} bytes) runs past its block")
    value = data[p:p + size]
    p = align4(p + size) if size else p
    children = []
    while p < end:
        child, child_end = parse_block(data, p, end)
        children.append(child)
        p = align4(child_end)
    return Block(key, wtype, value_length, value, children), end


def check_version(c, data, strings):
    try:
        root, _ = parse_block(data, 0, len(data))
    except ValueError as e:
        c.that(False, f"version resource is malformed: {e}")
        return
    c.that(root.key == "VS_VERSION_INFO", f"version resource root key is '{root.key}', want VS_VERSION_INFO")
    if c.that(len(root.value) == 52, f"VS_FIXEDFILEINFO is {len(root.value)} bytes, want 52"):
        f = struct.unpack("<13I", root.value)
        fixed = {
            "dwSignature": (f[0], 0xFEEF04BD),
            "FileVersionMS": (f[2], 0x00010000), "FileVersionLS": (f[3], 0x00000002),
            "ProductVersionMS": (f[4], 0x00010000), "ProductVersionLS": (f[5], 0x00000002),
            "FileFlagsMask": (f[6], 0x3F), "FileFlags": (f[7], 0), "FileOS": (f[8], 0x40004),
            "FileType": (f[9], 1), "FileSubtype": (f[10], 0),
        }
        for name, (got, want) in fixed.items():
            c.that(got == want, f"fixed version info {name} is {got:#x}, want {want:#x}")

    kids = [b.key for b in root.children]
    c.that(sorted(kids) == ["StringFileInfo", "VarFileInfo"],
            f"version resource holds {kids}, want StringFileInfo and VarFileInfo once each")
    for sfi in (b for b in root.children if b.key == "StringFileInfo"):
        tables = [t.key for t in sfi.children]
        c.that(tables == [STRING_TABLE], f"string tables are {tables}, want exactly ['{STRING_TABLE}']")
        for table in sfi.children:
            keys = [s.key for s in table.children]
            c.that(keys == STRING_KEYS, f"string table '{table.key}' keys are {keys}, want {STRING_KEYS} in that order")
            for s in table.children:
                check_version_string(c, table.key, s, strings)
    for vfi in (b for b in root.children if b.key == "VarFileInfo"):
        names = [v.key for v in vfi.children]
        c.that(names == ["Translation"], f"VarFileInfo holds {names}, want only Translation")
        for v in vfi.children:
            want = struct.pack("<HH", 0x0804, 0x04B0)
            c.that(v.wtype == 0 and v.value == want,
                    f"Translation is {v.value.hex()} (type {v.wtype}), want 0x0804, 0x04B0 ({want.hex()}, binary)")


def check_version_string(c, table, s, strings):
    where = f"{table}\\{s.key}"
    if not c.that(s.wtype == 1, f"{where} is not a text value (wType {s.wtype})"):
        return
    try:
        text = s.value.decode("utf-16-le")
    except UnicodeDecodeError as e:
        c.that(False, f"{where} is not valid UTF-16: {e}")
        return
    # The length counts the one terminating NUL; anything else NUL means a stray "\0" in the source.
    if not c.that(text.endswith("\0"), f"{where} value {text!r} is not NUL-terminated within its length"):
        return
    body = text[:-1]
    c.that("\0" not in body, f"{where} value {text!r} carries an embedded NUL")
    if s.key in strings:
        c.that(body == strings[s.key], f"{where} is {body!r}, want {strings[s.key]!r}")
    else:
        c.that(body.strip() != "", f"{where} is empty")
    print(f"  {where} = {body!r}")


def check_manifest(c, data, level):
    bare = data[3:] if data.startswith(b"\xef\xbb\xbf") else data
    c.that(not bare.lstrip().startswith(b"<?xml"), "manifest starts with an XML declaration")
    try:
        root = ET.fromstring(data)
    except ET.ParseError as e:
        c.that(False, f"manifest is not well-formed XML: {e}")
        return

    def no_text(el, where):
        c.that(not (el.text or "").strip() and not (el.tail or "").strip(), f"{where} carries text")

    def only_child(el, tag, where):
        kids = list(el)
        if c.that(len(kids) == 1 and kids[0].tag == tag,
                   f"{where} children are {[k.tag for k in kids]}, want only {tag}"):
            return kids[0]
        return None

    if not c.that(root.tag == ASM_V1 + "assembly", f"manifest root is {root.tag}, want {ASM_V1}assembly"):
        return
    c.that(root.attrib == {"manifestVersion": "1.0"}, f"assembly attributes are {root.attrib}, want manifestVersion=1.0 only")
    no_text(root, "assembly")
    el, path = root, "assembly"
    for name in ("trustInfo", "security", "requestedPrivileges", "requestedExecutionLevel"):
        el = only_child(el, ASM_V3 + name, path)
        if el is None:
            return
        path += "/" + name
        no_text(el, path)
        if name != "requestedExecutionLevel":
            c.that(not el.attrib, f"{path} has attributes {el.attrib}")
    c.that(el.attrib == {"level": level, "uiAccess": "false"},
            f"requestedExecutionLevel attributes are {el.attrib}, want level={level} uiAccess=false only")
    c.that(len(el) == 0, "requestedExecutionLevel has children")


def check_sections(c, pe, sections, no_seh):
    for name, s in sections.items():
        flags = s.Characteristics
        c.that(not (flags & SCN_MEM_WRITE and flags & SCN_MEM_EXECUTE),
                f"section {name} is writable and executable ({flags:#010x})")
        c.that(not (flags & SCN_MEM_WRITE and flags & SCN_MEM_SHARED),
                f"section {name} is writable and shared ({flags:#010x})")
    for directory in ("IMAGE_DIRECTORY_ENTRY_IMPORT", "IMAGE_DIRECTORY_ENTRY_IAT"):
        d = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[directory]]
        home = [n for n, s in sections.items() if d.Size and s.contains_rva(d.VirtualAddress)]
        if c.that(home, f"{directory} is empty or outside every section"):
            c.that(not sections[home[0]].Characteristics & SCN_MEM_EXECUTE,
                    f"{directory} lies in the executable section {home[0]}")
    if not no_seh:
        return
    # NO_SEH is a promise about the code: a byte scan for an SEH frame's install keeps it.
    for name, s in sections.items():
        if s.Characteristics & SCN_MEM_EXECUTE:
            for m in FS0_WRITE.finditer(s.get_data()):
                va = pe.OPTIONAL_HEADER.ImageBase + s.VirtualAddress + m.start()
                c.that(False, f"NO_SEH image writes fs:[0] at {va:#x} ({m.group().hex(' ')})")


def cmd_image(args):
    machine, magic, subsys, own_dllchars = ARCHES[args.arch]
    level, strings, system_dlls, formatting, forbidden = PROGRAMS[args.program]
    pe = load(args.exe)
    c = Checks()
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    c.that(fh.Machine == machine, f"machine is {fh.Machine:#x}, want {machine:#x}")
    c.that(oh.Magic == magic, f"optional header magic is {oh.Magic:#x}, want {magic:#x}")
    c.that(oh.Subsystem == 3, f"subsystem is {oh.Subsystem}, want 3 (console)")
    got = (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion)
    c.that(got == subsys, "subsystem version is %d.%02d, want %d.%02d" % (got + subsys))
    for name in BOTH_DLLCHARS + own_dllchars:
        c.that(oh.DllCharacteristics & DLLCHAR_BITS[name],
                f"DllCharacteristics {oh.DllCharacteristics:#06x} lacks {name}")
    c.that(fh.TimeDateStamp == 0, f"link timestamp is {fh.TimeDateStamp:#x}, want 0")

    # ASLR needs relocations the loader will use.
    c.that(not fh.Characteristics & 0x0001, "IMAGE_FILE_RELOCS_STRIPPED is set")
    reloc_dir = oh.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    c.that(reloc_dir.Size > 0, "base relocation directory is empty")
    entries = sum(len(b.entries) for b in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", []))
    c.that(entries > 0, "no base relocation entries")
    sections = {s.Name.rstrip(b"\0").decode("ascii", "replace"): s for s in pe.sections}
    c.that(".reloc" in sections and sections[".reloc"].SizeOfRawData > 0,
            f"no non-empty .reloc section (sections: {sorted(sections)})")
    check_sections(c, pe, sections, "NO_SEH" in own_dllchars)

    imports = imports_of(pe)
    dlls = {d.lower() for d, _, _ in imports}
    print("imported DLLs: " + ", ".join(sorted(dlls)))
    runtime = sorted(d for d in dlls if d.startswith(RUNTIME_DLL_PREFIXES))
    c.that(not runtime, f"imports compiler runtime DLLs {runtime}")
    c.that(dlls == system_dlls,
            f"imported DLLs differ from {sorted(system_dlls)}: extra {sorted(dlls - system_dlls)}, "
            f"missing {sorted(system_dlls - dlls)}; only these known DLLs are mapped from System32 "
            "before the program runs, any other would be loaded from the folder it was started "
            "from (a download folder) before wmain can confine the DLL search")
    crt = {n for d, n, _ in imports if d.lower() == "msvcrt.dll"}
    c.that("__wgetmainargs" in crt, "msvcrt!__wgetmainargs is not imported: not the wide (-municode) CRT start")
    c.that("__getmainargs" not in crt, "msvcrt!__getmainargs is imported: narrow CRT start")
    for name in formatting:
        c.that(name in crt, f"msvcrt!{name} is not imported: the formatting is not the system runtime's")
    changes = sorted({n for _, n, _ in imports} & forbidden)
    c.that(not changes, f"imports {changes}, which change the machine")

    res = resources_of(pe)
    show = lambda keys: ", ".join(f"({t}, {i}, {l:#06x})" if isinstance(l, int) else str((t, i, l))
                                  for t, i, l in sorted(keys, key=str))
    print("resources (type, id, language): " + show(res))
    c.that(set(res) == EXPECTED_RESOURCES,
            f"resources are {show(res)}, want exactly {show(EXPECTED_RESOURCES)}")
    if (RT_MANIFEST, 1, 0x0409) in res:
        check_manifest(c, res[(RT_MANIFEST, 1, 0x0409)], level)
    if (RT_VERSION, 1, 0x0804) in res:
        check_version(c, res[(RT_VERSION, 1, 0x0804)], strings)
    return c.finish(f"{args.exe} ({args.arch})")


def read_allowlist(path, c):
    allowed = set()
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            entry, _, comment = line.partition("#")
            entry = entry.strip()
            if not entry:
                continue
            dll, bang, func = entry.partition("!")
            ok = bang and dll and func and " " not in func
            if c.that(ok, f"{path}:{number}: '{entry}' is not DLL!Function"):
                c.that(comment.strip(), f"{path}:{number}: {entry} has no comment on where it is available")
                allowed.add((dll.lower(), func))
    return allowed


def cmd_imports(args):
    pe = load(args.exe)
    c = Checks()
    allowed = read_allowlist(args.allowlist, c)
    imports = imports_of(pe)
    current = None
    for dll, name, ordinal in imports:
        if dll != current:
            print(dll)
            current = dll
        print(f"  {name}" if name else f"  #{ordinal} (by ordinal)")
    print(f"{len(imports)} imported functions")
    for dll, name, ordinal in imports:
        if not c.that(name is not None, f"{dll} import by ordinal {ordinal}"):
            continue
        c.that((dll.lower(), name) in allowed, f"{dll}!{name} is not on the Windows XP SP3 allowlist")
    return c.finish(f"{args.exe} imports")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True)
    img = sub.add_parser("image")
    img.add_argument("--arch", choices=sorted(ARCHES), required=True)
    img.add_argument("--program", choices=sorted(PROGRAMS), default="repair")
    img.add_argument("exe")
    img.set_defaults(run=cmd_image)
    imp = sub.add_parser("imports")
    imp.add_argument("exe")
    imp.add_argument("allowlist")
    imp.set_defaults(run=cmd_imports)
    args = p.parse_args()
    return args.run(args)


if __name__ == "__main__":
    sys.exit(main())
