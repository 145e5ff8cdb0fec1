#!/usr/bin/env python3
"""Size and import budget of the shipped executables.

Each dist/<arch>/quorva.exe must be a GUI image that Windows XP loads, stay
within its size goal (192 KiB for x64, 256 KiB for x86: the 32-bit code is
larger) and import only from the
DLLs every Windows from XP on has, and only functions on the allowed list
(allowed_imports.txt beside this script: functions Windows XP already
exports). Anything newer must be looked up at run time with GetProcAddress,
or the program would not even load on the oldest systems it supports.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

LIMITS = {"x64": 192 * 1024, "x86": 256 * 1024}
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll",
                "ole32.dll", "comctl32.dll", "msvcrt.dll"}
ARCHES = {"x64": "pei-x86-64", "x86": "pei-i386"}


def read_allowed(path):
    allowed = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            parts = line.split()
            if len(parts) != 2:
                sys.exit(f"{path}:{number}: expected 'DLL function', got {line!r}")
            allowed.setdefault(parts[0].lower(), set()).add(parts[1])
    return allowed


def objdump():
    for name in ("x86_64-w64-mingw32-objdump", "i686-w64-mingw32-objdump", "objdump"):
        found = shutil.which(name)
        if found:
            return found
    sys.exit("no objdump that reads PE files was found")


def headers(exe):
    """Subsystem and the subsystem version the image asks for."""
    text = subprocess.run([objdump(), "-p", exe], check=True, capture_output=True,
                          text=True).stdout
    def field(name):
        m = re.search(r"^" + name + r"\s+([0-9a-fA-F]+)", text, re.M)
        return int(m.group(1), 16 if name == "Subsystem" else 10) if m else None
    return field("Subsystem"), (field("MajorSubsystemVersion"), field("MinorSubsystemVersion"))


def parse_imports(text):
    """(dll, function) pairs from the import tables that `objdump -p` printed;
    a function imported by ordinal is '#n'.

    binutils changed the layout of an entry in 2.44, and says which one it
    prints in the line above the entries:
      2.40  "vma:  Hint/Ord Member-Name Bound-To"
            "\t2aa20\t 1005  AbortSystemShutdownW"        by name (hint, name)
            "\t80000011\t   17  <none>"                   by ordinal: the thunk's
                                                          low 16 bits
      2.44  "vma:     Ordinal  Hint  Member-Name  Bound-To"
            "\t00034578  <none>  0004  AbortSystemShutdownW" by name
            "\t000070f4     17  <none> <none>"             by ordinal (decimal)
    An entry line that neither layout explains fails the check, so a third
    layout cannot pass as an empty or a wrong table."""
    result = []
    dll = None
    layout = None
    for line in text.splitlines():
        m = re.match(r"\s*DLL Name:\s*(\S+)", line)
        if m:
            dll, layout = m.group(1).lower(), None
            continue
        if dll is None:
            continue
        if not line.strip():
            dll = None
            continue
        if re.match(r"\s*vma:\s+Hint/Ord\s+Member-Name", line):
            layout = "2.40"
            continue
        if re.match(r"\s*vma:\s+Ordinal\s+Hint\s+Member-Name", line):
            layout = "2.44"
            continue
        if layout == "2.40":
            m = re.match(r"\t([0-9a-fA-F]+)\t\s*([0-9a-fA-F]+)\s+(\S+)\s*$", line)
            if m and m.group(3) != "<none>":
                result.append((dll, m.group(3)))
                continue
            if m:
                result.append((dll, "#" + str(int(m.group(1), 16) & 0xFFFF)))
                continue
        elif layout == "2.44":
            m = re.match(r"\t[0-9a-fA-F]+\s+<none>\s+[0-9a-fA-F]+\s+(\S+)\s*$", line)
            if m:
                result.append((dll, m.group(1)))
                continue
            m = re.match(r"\t[0-9a-fA-F]+\s+(\d+)\s+<none>\s+<none>\s*$", line)
            if m:
                result.append((dll, "#" + m.group(1)))
                continue
        raise ValueError(f"import line of {dll} not understood: {line!r}")
    return result


def imports(exe):
    """The optional header's magic and the (dll, function) import pairs."""
    text = subprocess.run([objdump(), "-p", exe], check=True, capture_output=True,
                          text=True).stdout
    magic = re.search(r"^Magic\s+(\w+)", text, re.M)
    return (magic.group(1) if magic else "?"), parse_imports(text)


def check(dist, allowed, limits=None):
    """Report lines and failures for the executables under `dist`; `limits`
    maps each architecture to its size goal in bytes."""
    limits = limits or LIMITS
    lines = [f"{'executable':<24} {'bytes':>9} {'KiB':>7}  {'goal KiB':>8}        imports"]
    failures = []
    for arch, _ in ARCHES.items():
        limit = limits[arch]
        exe = os.path.join(dist, arch, "quorva.exe")
        if not os.path.isfile(exe):
            failures.append(f"{exe}: missing (build it first)")
            continue
        size = os.path.getsize(exe)
        magic, table = imports(exe)
        lines.append(f"{arch + '/quorva.exe':<24} {size:>9} {size / 1024:>7.1f}  "
                     f"{limit // 1024:>8} {'ok' if size <= limit else 'OVER':<6} {len(table)} functions "
                     f"from {len({d for d, _ in table})} DLLs")
        subsystem, version = headers(exe)
        # XP loads images asking for at most 5.1 (32-bit) or 5.2 (64-bit).
        oldest = (5, 2) if arch == "x64" else (5, 1)
        if subsystem != 2:
            failures.append(f"{exe}: subsystem {subsystem}, expected 2 (Windows GUI)")
        if None in version or version > oldest:
            failures.append(f"{exe}: subsystem version {version}, Windows XP needs at most {oldest}")
        want_magic = "020b" if arch == "x64" else "010b"
        if magic != want_magic:
            failures.append(f"{exe}: optional-header magic {magic}, expected {want_magic}")
        if size > limit:
            failures.append(f"{exe}: {size} bytes, over the {limit}-byte ({limit // 1024} KiB) budget")
        for dll, function in table:
            if dll not in ALLOWED_DLLS:
                failures.append(f"{exe}: imports {dll}!{function}: DLL not allowed")
            elif function not in allowed.get(dll, ()):
                failures.append(f"{exe}: imports {dll}!{function}: not on the allowed list")
        if not table:
            failures.append(f"{exe}: no import table found")
    return lines, failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dist", required=True)
    parser.add_argument("--allowed", required=True)
    args = parser.parse_args()

    lines, failures = check(args.dist, read_allowed(args.allowed))
    for line in lines:
        print(line)
    for failure in failures:
        print("FAIL " + failure)
    if failures:
        return 1
    print("budget ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
