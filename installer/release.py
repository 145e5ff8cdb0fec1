#!/usr/bin/env python3
"""The release: both executables, an MSI per architecture, optional signatures
and a checksum list, in one folder.

    release.py --dist dist --out dist/release [--version 12.0.0.14]

Two runs over the same executables give the same bytes. wixl stamps every
package with the time of the build and a random package code, and its cabinet
carries the executable's modification time; so the executable is staged with
a fixed time, and the package's summary information gets a fixed time and a
package code derived from what the package holds. The fixed time is
SOURCE_DATE_EPOCH when it is set, else the time of the last commit.

Signing: when QUORVA_SIGN_PFX (a PKCS#12 file) and QUORVA_SIGN_PASSWORD are
set, both executables and both packages are signed with osslsigncode, SHA-256,
with a timestamp only when QUORVA_SIGN_TIMESTAMP names a server. The
executables are signed before they go into the packages. Without the two
variables the release is built unsigned, and says so.
"""
import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid
from pathlib import Path

HERE = Path(__file__).resolve().parent
WXS = HERE / "quorva.wxs"
VERSION = "12.0.0.14"
ARCHES = ("x64", "x86")
# Product and package codes are derived from these, so that the same version
# of the same architecture always carries the same codes.
NAMESPACE = uuid.UUID("5f0c6b52-8e1d-4a37-9b2e-04d7c3a1e6f9")
SIGN_VARIABLES = ("QUORVA_SIGN_PFX", "QUORVA_SIGN_PASSWORD")


class ReleaseError(RuntimeError):
    pass


def msi_name(arch, version=VERSION):
    return "quorva-%s-%s.msi" % (version, arch)


def msi_version(version):
    """The package's ProductVersion for the agent's four-part version.

    Windows Installer compares only the first three fields of a product
    version when it looks for older and newer installations, and the agent's
    releases differ in the fourth (12.0.0.14, 12.0.0.15): taken as it is, a
    new release would install beside the old one, and an old one would not
    be refused. So the last two fields share the third: 12.0.0.14 -> 12.0.14."""
    parts = [int(p) for p in version.split(".")]
    if len(parts) != 4 or not (parts[0] < 256 and parts[1] < 256 and parts[2] < 256 and parts[3] < 256):
        raise ReleaseError("version %r: expected four fields, each below 256" % version)
    major, minor, build, revision = parts
    return "%d.%d.%d" % (major, minor, build * 256 + revision)


def product_code(arch, version):
    return str(uuid.uuid5(NAMESPACE, "product %s %s" % (arch, version))).upper()


def package_code(arch, version, exe_bytes):
    digest = hashlib.sha256(exe_bytes).hexdigest()
    return str(uuid.uuid5(NAMESPACE, "package %s %s %s" % (arch, version, digest))).upper()


def source_date_epoch(root):
    given = os.environ.get("SOURCE_DATE_EPOCH")
    if given:
        return int(given)
    done = subprocess.run(["git", "-C", str(root), "log", "-1", "--format=%ct"],
                          capture_output=True, text=True)
    if done.returncode == 0 and done.stdout.strip().isdigit():
        return int(done.stdout.strip())
    raise ReleaseError("set SOURCE_DATE_EPOCH: no git history to take the release time from")


# ----- the compound file's summary information --------------------------------------------
# An MSI is an OLE compound file. Its "\x05SummaryInformation" stream is a
# property set; the fields patched here keep their lengths, so the stream is
# rewritten in place wherever its sectors lie.
PID_REVNUMBER = 9       # the package code, "{GUID}"
PID_CREATE_DTM = 12
PID_LASTSAVE_DTM = 13
VT_LPSTR = 0x1E
VT_FILETIME = 0x40
FREESECT = 0xFFFFFFFF
ENDOFCHAIN = 0xFFFFFFFE


class CompoundFile:
    """Just enough of the compound file format to find one stream's bytes."""

    def __init__(self, data):
        if data[:8] != bytes.fromhex("d0cf11e0a1b11ae1"):
            raise ReleaseError("not a compound file")
        self.data = data
        self.sector = 1 << struct.unpack_from("<H", data, 0x1E)[0]
        self.mini = 1 << struct.unpack_from("<H", data, 0x20)[0]
        fat_sectors, self.dir_start = struct.unpack_from("<II", data, 0x2C)[0], struct.unpack_from("<I", data, 0x30)[0]
        self.cutoff, minifat_start, minifat_count, difat_start, difat_count = struct.unpack_from("<IIIII", data, 0x38)
        difat = list(struct.unpack_from("<109I", data, 0x4C))
        next_difat = difat_start
        for _ in range(difat_count):
            entries = struct.unpack_from("<%dI" % (self.sector // 4), data, self.offset(next_difat))
            difat.extend(entries[:-1])
            next_difat = entries[-1]
        self.fat = []
        for sector in difat[:fat_sectors]:
            self.fat.extend(struct.unpack_from("<%dI" % (self.sector // 4), data, self.offset(sector)))
        self.minifat = []
        for sector in self.chain(minifat_start) if minifat_count else []:
            self.minifat.extend(struct.unpack_from("<%dI" % (self.sector // 4), data, self.offset(sector)))
        self.entries = self._directory()
        self.root_chain = self.chain(self.entries[0][1])

    def offset(self, sector):
        return (sector + 1) * self.sector

    def chain(self, start, table=None):
        table = self.fat if table is None else table
        out, seen = [], set()
        while start not in (ENDOFCHAIN, FREESECT):
            if start in seen or start >= len(table):
                raise ReleaseError("broken sector chain")
            seen.add(start)
            out.append(start)
            start = table[start]
        return out

    def _directory(self):
        entries = {}
        index = 0
        for sector in self.chain(self.dir_start):
            base = self.offset(sector)
            for n in range(self.sector // 128):
                raw = self.data[base + 128 * n: base + 128 * (n + 1)]
                length = struct.unpack_from("<H", raw, 0x40)[0]
                name = raw[:max(length - 2, 0)].decode("utf-16-le", errors="replace")
                start, size = struct.unpack_from("<IQ", raw, 0x74)
                if raw[0x42] != 0:
                    entries[index] = (name, start, size)
                index += 1
        return entries

    def stream_offsets(self, name):
        """The file offset of every byte of the named stream."""
        found = [e for e in self.entries.values() if e[0] == name]
        if not found:
            raise ReleaseError("no stream %r" % name)
        _, start, size = found[0]
        offsets = []
        if size < self.cutoff:
            for mini_sector in self.chain(start, self.minifat):
                position = mini_sector * self.mini
                container = self.root_chain[position // self.sector]
                base = self.offset(container) + position % self.sector
                offsets.extend(range(base, base + self.mini))
        else:
            for sector in self.chain(start):
                base = self.offset(sector)
                offsets.extend(range(base, base + self.sector))
        return offsets[:size]


def summary_fields(stream):
    """{property id: (type, offset of the value within the stream)}."""
    section = struct.unpack_from("<I", stream, 44)[0]
    count = struct.unpack_from("<I", stream, section + 4)[0]
    fields = {}
    for n in range(count):
        pid, where = struct.unpack_from("<II", stream, section + 8 + 8 * n)
        kind = struct.unpack_from("<I", stream, section + where)[0]
        fields[pid] = (kind, section + where + 4)
    return fields


def filetime(epoch):
    return struct.pack("<Q", (epoch + 11644473600) * 10**7)


def read_summary(path):
    """Package code and the two dates (as FILETIME bytes) of an MSI."""
    data = Path(path).read_bytes()
    offsets = CompoundFile(data).stream_offsets("\x05SummaryInformation")
    stream = bytes(data[o] for o in offsets)
    fields = summary_fields(stream)
    out = {}
    for pid, (kind, at) in fields.items():
        if kind == VT_LPSTR:
            length = struct.unpack_from("<I", stream, at)[0]
            out[pid] = stream[at + 4: at + 4 + length].rstrip(b"\0").decode("latin-1")
        elif kind == VT_FILETIME:
            out[pid] = stream[at: at + 8]
    return out


def fix_summary(path, code, epoch):
    """Sets the package code and both dates of an MSI, in place."""
    data = bytearray(Path(path).read_bytes())
    offsets = CompoundFile(bytes(data)).stream_offsets("\x05SummaryInformation")
    stream = bytearray(data[o] for o in offsets)
    fields = summary_fields(stream)
    for pid in (PID_CREATE_DTM, PID_LASTSAVE_DTM):
        kind, at = fields.get(pid, (None, None))
        if kind != VT_FILETIME:
            raise ReleaseError("%s: summary property %d is not a date" % (path, pid))
        stream[at: at + 8] = filetime(epoch)
    kind, at = fields.get(PID_REVNUMBER, (None, None))
    text = ("{%s}" % code).encode("ascii") + b"\0"
    if kind != VT_LPSTR or struct.unpack_from("<I", stream, at)[0] != len(text):
        raise ReleaseError("%s: the package code is not a GUID of the usual length" % path)
    stream[at + 4: at + 4 + len(text)] = text
    for o, byte in zip(offsets, stream):
        data[o] = byte
    Path(path).write_bytes(bytes(data))


# ----- the package's tables, for checking what a package holds ------------------------------
_NAME_CHARS = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._"


def _stream_name(name):
    """A stream name as stored (table names packed two characters a code)."""
    out = []
    for ch in name:
        c = ord(ch)
        if 0x3800 <= c < 0x4800:
            c -= 0x3800
            out.append(_NAME_CHARS[c & 0x3F] + _NAME_CHARS[(c >> 6) & 0x3F])
        elif 0x4800 <= c < 0x4840:
            out.append(_NAME_CHARS[c - 0x4800])
        elif c == 0x4840:
            out.append("!")  # marks a table's stream
        else:
            out.append(ch)
    return "".join(out)


def read_tables(path):
    """{table name: [row tuples]} of an MSI; strings as text, integers as int, None for null."""
    data = Path(path).read_bytes()
    cf = CompoundFile(data)
    streams = {_stream_name(name): name for name, _, _ in cf.entries.values()}

    def stream(name):
        return bytes(data[o] for o in cf.stream_offsets(streams[name]))

    pool, text = stream("!_StringPool"), stream("!_StringData")
    codepage = struct.unpack_from("<I", pool, 0)[0]
    ref_size = 3 if codepage & 0x80000000 else 2
    strings, at, n = [None], 0, 4
    while n < len(pool):
        length, refs = struct.unpack_from("<HH", pool, n)
        n += 4
        if length == 0 and refs != 0:  # a long string: its length follows
            length = struct.unpack_from("<I", pool, n)[0]
            n += 4
        strings.append(text[at: at + length].decode("cp1252", errors="replace"))
        at += length

    def columns_of(raw, types):
        sizes = [(ref_size if t & 0x0800 else (t & 0xFF if t & 0xFF in (2, 4) else 2)) for t in types]
        row_size = sum(sizes)
        count = len(raw) // row_size if row_size else 0
        rows = [[None] * len(types) for _ in range(count)]
        offset = 0
        for c, (t, size) in enumerate(zip(types, sizes)):
            for r in range(count):
                value = int.from_bytes(raw[offset: offset + size], "little")
                offset += size
                if t & 0x0800:
                    rows[r][c] = strings[value] if value else None
                elif value:
                    rows[r][c] = value - (0x8000 if size == 2 else 0x80000000)
        return [tuple(r) for r in rows]

    # Type words: 0x0800 string, width in the low byte.
    column_rows = columns_of(stream("!_Columns"), [0x0800 | 0x48, 2, 0x0800 | 0x40, 2])
    table_types = {}
    for table, number, _, kind in sorted(column_rows, key=lambda r: (r[0], r[1])):
        table_types.setdefault(table, []).append(kind)
    tables = {}
    for table, types in table_types.items():
        key = "!" + table
        tables[table] = columns_of(stream(key), types) if key in streams else []
    return tables


# ----- building ----------------------------------------------------------------------------
def tool(name, package):
    found = shutil.which(name)
    if not found:
        raise ReleaseError("%s is missing (Debian package %s; make release installs it)" % (name, package))
    return found


def build_msi(arch, exe, out, epoch, version=VERSION):
    """One package from one executable; the same inputs give the same bytes."""
    exe = Path(exe)
    with tempfile.TemporaryDirectory() as staging:
        staged = Path(staging) / "quorva.exe"
        shutil.copyfile(exe, staged)
        os.utime(staged, (epoch, epoch))  # the cabinet stores this time
        done = subprocess.run(
            [tool("wixl", "wixl"), "-a", arch, "-o", str(Path(out).resolve()),
             "-D", "Arch=" + arch, "-D", "Version=" + msi_version(version),
             "-D", "ProductCode=" + product_code(arch, version),
             "-D", "AgentExe=quorva.exe", str(WXS)],
            capture_output=True, text=True, cwd=staging)  # wixl finds sources by relative name
        if done.returncode != 0 or not Path(out).is_file():
            raise ReleaseError("wixl failed for %s:\n%s%s" % (arch, done.stdout, done.stderr))
    fix_summary(out, package_code(arch, version, exe.read_bytes()), epoch)


def signing_settings(environ=os.environ):
    """(pfx, password, timestamp server or None), or None to build unsigned."""
    pfx, password = (environ.get(v) for v in SIGN_VARIABLES)
    if not pfx and not password:
        return None
    if not pfx or password is None:
        raise ReleaseError("set both QUORVA_SIGN_PFX and QUORVA_SIGN_PASSWORD, or neither")
    if not Path(pfx).is_file():
        raise ReleaseError("QUORVA_SIGN_PFX names no file: %s" % pfx)
    return pfx, password, environ.get("QUORVA_SIGN_TIMESTAMP") or None


def sign(path, settings):
    pfx, password, timestamp = settings
    signed = Path(str(path) + ".signed")
    # The password goes through a private file, not the command line, which
    # every user of the machine can read.
    with tempfile.NamedTemporaryFile("w", prefix="quorva-sign-") as secret:
        secret.write(password)
        secret.flush()
        command = [tool("osslsigncode", "osslsigncode"), "sign", "-pkcs12", pfx, "-readpass", secret.name,
                   "-h", "sha256", "-n", "quorva session agent", "-in", str(path), "-out", str(signed)]
        if timestamp:
            command[2:2] = ["-ts", timestamp]
        done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        signed.unlink(missing_ok=True)
        raise ReleaseError("signing %s failed:\n%s%s" % (path, done.stdout, done.stderr))
    os.replace(signed, path)


def release(dist, out, version=VERSION, epoch=None, settings=None, say=print):
    dist, out = Path(dist), Path(out)
    epoch = source_date_epoch(HERE.parent) if epoch is None else epoch
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir(parents=True)
    files = []
    for arch in ARCHES:
        source = dist / arch / "quorva.exe"
        if not source.is_file():
            raise ReleaseError("%s is missing: build it first (make x64 x86)" % source)
        (out / arch).mkdir()
        exe = out / arch / "quorva.exe"
        shutil.copyfile(source, exe)
        os.utime(exe, (epoch, epoch))
        if settings:
            sign(exe, settings)
        files.append(exe)
    for arch in ARCHES:
        msi = out / msi_name(arch, version)
        build_msi(arch, out / arch / "quorva.exe", msi, epoch, version)
        if settings:
            sign(msi, settings)
        files.append(msi)
    lines = ["%s  %s\n" % (hashlib.sha256(f.read_bytes()).hexdigest(), f.relative_to(out).as_posix())
             for f in files]
    (out / "SHA256SUMS").write_text("".join(lines))
    for f in files:
        say("%-32s %8d bytes" % (f.relative_to(out).as_posix(), f.stat().st_size))
    if settings:
        say("signed with %s (SHA-256)%s" % (settings[0], ", timestamped by " + settings[2] if settings[2] else
                                            ", no timestamp (QUORVA_SIGN_TIMESTAMP not set)"))
    else:
        say("UNSIGNED: set QUORVA_SIGN_PFX and QUORVA_SIGN_PASSWORD to sign the executables and packages")
    return files


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dist", required=True, help="folder holding x64/ and x86/quorva.exe")
    parser.add_argument("--out", required=True, help="release folder (emptied first)")
    parser.add_argument("--version", default=VERSION)
    args = parser.parse_args()
    try:
        release(args.dist, args.out, args.version, settings=signing_settings())
    except ReleaseError as error:
        print("release: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
