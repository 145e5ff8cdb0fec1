#!/usr/bin/env python3
"""Two releases of one commit, built on two Debian releases, hold the same thing.

    compare_releases.py FOLDER_A FOLDER_B

Each folder is what `make release` wrote (dist/release). They must have the
same files: both executables, both packages and SHA256SUMS. The packages'
tables must agree row for row, apart from what follows from the executable's
bytes, which another compiler makes differently: the ProductCode (derived
from the package's contents), the File row's size of quorva.exe, and the
summary information. Tables without rows do not count. The executables must carry the same version.

The bytes differ (another compiler, another MSI writer); nothing here asks
them to agree.
"""
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent.parent / "installer"))
import release  # noqa: E402

FILES = {"x64/quorva.exe", "x86/quorva.exe", "SHA256SUMS"}


def layout(folder):
    root = Path(folder)
    return {p.relative_to(root).as_posix() for p in root.rglob("*") if p.is_file()}


def normalised(tables):
    """The tables with the values that follow from the executable's bytes blanked.

    A table without rows is left out, with its columns: it installs nothing,
    and wixl 0.106 (Debian 13) writes four such tables (ActionText,
    Environment, IniFile, RemoveIniFile) that 0.101 (Debian 12) leaves out."""
    empty = {name for name, rows in tables.items() if not rows and name != "_Columns"}
    out = {}
    for name, rows in tables.items():
        if name in empty:
            continue
        if name == "_Columns":
            rows = [r for r in rows if r[0] not in empty]
        if name == "Property":
            rows = [(k, "<per build>") if k == "ProductCode" else (k, v) for k, v in rows]
        elif name == "File":
            rows = [r[:3] + ("<exe size>",) + r[4:] if r[0] == "quorva.exe" else r for r in rows]
        out[name] = sorted(rows, key=repr)
    return out


def differences(a, b):
    found = []
    names_a, names_b = layout(a), layout(b)
    if names_a != names_b:
        found.append(f"files: only in {a}: {sorted(names_a - names_b)}; only in {b}: {sorted(names_b - names_a)}")
    msis = sorted(n for n in names_a & names_b if n.endswith(".msi"))
    if len(msis) != 2:
        found.append(f"expected two packages, found {msis}")
    for name in sorted(FILES):
        if name not in names_a & names_b:
            found.append(f"{name}: missing from a release")
    for arch in release.ARCHES:
        exe = f"{arch}/quorva.exe"
        if exe in names_a & names_b:
            va = release.exe_version((Path(a) / exe).read_bytes())
            vb = release.exe_version((Path(b) / exe).read_bytes())
            if va != vb:
                found.append(f"{exe}: version {va} against {vb}")
    for msi in msis:
        ta = normalised(release.read_tables(Path(a) / msi))
        tb = normalised(release.read_tables(Path(b) / msi))
        for table in sorted(set(ta) | set(tb)):
            ra, rb = ta.get(table), tb.get(table)
            if ra is None or rb is None:
                found.append(f"{msi}: table {table} has rows in {a if ra else b} only")
            elif ra != rb:
                only_a = [r for r in ra if r not in rb]
                only_b = [r for r in rb if r not in ra]
                found.append(f"{msi}: table {table} differs: {only_a[:4]} against {only_b[:4]}")
    return found


def main(argv):
    if len(argv) != 3:
        print(__doc__)
        return 2
    found = differences(argv[1], argv[2])
    for line in found:
        print("DIFFERENT " + line)
    if found:
        return 1
    print(f"releases agree: same files, same package tables ({argv[1]} and {argv[2]})")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
