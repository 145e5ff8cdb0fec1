#!/usr/bin/env python3
"""The release: both executables, an MSI per architecture, optional signatures
and a checksum list, in one folder.

    release.py --dist dist --out dist/release [--version 12.0.0.14]

The version given must be the executable's own (its VERSIONINFO), and the
package's ProductVersion must be that version folded into three fields: the
release stops when they disagree.

Every build is a product of its own: the ProductCode is derived from what the
package holds (its tables, the executable and the icon), and the package's
Upgrade rows remove any installed build of the same version or older. So a
rebuild of one version (signed, unsigned, re-signed or rebuilt) installs over
the earlier build, and an unchanged package keeps its codes.

wixl leaves out some rows and writes others differently from one of its
versions to the next; table_edits() lists what is set after it, with the
msitools' SQL, each edited row written whole.

Two runs over the same executables give the same bytes. wixl stamps every
package with the time of the build and a random package code, and its cabinet
carries the executable's modification time; so the executable is staged with
a fixed time, and the package's summary information gets a fixed time and a
package code derived from what the package holds. The fixed time is
SOURCE_DATE_EPOCH when it is set, else the time of the last commit.

Signing: when QUORVA_SIGN_PFX (a PKCS#12 file) and QUORVA_SIGN_PASSWORD are
set, both executables and both packages are signed with osslsigncode, SHA-256,
with a timestamp only when QUORVA_SIGN_TIMESTAMP names a server; without one
the release ends with a warning that says when the signatures stop being
valid (the certificate's end). The executables are signed before they go
into the packages. Without the two
variables the release is built unsigned, and says so.
"""
import argparse
import hashlib
import re
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
ICON = HERE.parent / "window" / "win32" / "res" / "quorva.ico"
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


UPGRADE_CODES = {"x64": "{6B1C2E0A-47D3-4F5E-9C1A-3E8D2B7F4A61}", "x86": "{D2F84A6C-1E3B-4B7D-9A5F-6C2E8B4D1F39}"}
PLACEHOLDER_CODE = "{00000000-0000-0000-0000-000000000000}"


def product_code(arch, version, digest):
    """The ProductCode of one build: the digest covers everything the package holds."""
    return "{%s}" % str(uuid.uuid5(NAMESPACE, "product %s %s %s" % (arch, version, digest))).upper()


def package_code(product):
    return str(uuid.uuid5(NAMESPACE, "package %s" % product)).upper()


# ----- the executable's version information ---------------------------------------------------
def _wstring(data, pos):
    end = pos
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[pos:end].decode("utf-16-le"), end + 2


def _version_node(data, pos):
    """(key, value, children, length) of one node of a VS_VERSIONINFO tree."""
    length, value_length, kind = struct.unpack_from("<HHH", data, pos)
    key, at = _wstring(data, pos + 6)
    at += -at % 4
    size = 2 * value_length if kind == 1 else value_length  # text counts characters
    value = data[at: at + size]
    if kind == 1:
        value = value.decode("utf-16-le").split("\0", 1)[0]
    at += size
    at += -at % 4
    children = []
    while length and at < pos + length:
        child = _version_node(data, at)
        if not child[3]:
            break
        children.append(child)
        at += child[3]
        at += -at % 4
    return key, value, children, length


def exe_version(data):
    """{'FILEVERSION', 'PRODUCTVERSION', 'LANGUAGES', and each StringFileInfo value} of an executable.
    LANGUAGES: the language IDs of VarFileInfo\\Translation, as the File table's Language column
    writes them (decimal, comma-separated), or None when the resource names none."""
    marker = "VS_VERSION_INFO".encode("utf-16-le") + b"\0\0"
    at = data.find(marker)
    if at < 6:
        raise ReleaseError("the executable has no version information")
    key, fixed, children, _ = _version_node(data, at - 6)
    if len(fixed) < 24 or struct.unpack_from("<I", fixed, 0)[0] != 0xFEEF04BD:
        raise ReleaseError("the executable's version information has no fixed part")
    fv_ms, fv_ls, pv_ms, pv_ls = struct.unpack_from("<IIII", fixed, 8)
    out = {"FILEVERSION": "%d.%d.%d.%d" % (fv_ms >> 16, fv_ms & 0xFFFF, fv_ls >> 16, fv_ls & 0xFFFF),
           "PRODUCTVERSION": "%d.%d.%d.%d" % (pv_ms >> 16, pv_ms & 0xFFFF, pv_ls >> 16, pv_ls & 0xFFFF)}
    out["LANGUAGES"] = None
    for child_key, _, tables, _ in children:
        if child_key == "StringFileInfo":
            for _, _, entries, _ in tables:
                out.update((name, value) for name, value, _, _ in entries)
        elif child_key == "VarFileInfo":
            for name, value, _, _ in tables:
                if name == "Translation" and isinstance(value, bytes) and len(value) >= 4:
                    pairs = struct.unpack_from("<%dH" % (len(value) // 2), value)
                    out["LANGUAGES"] = ",".join(str(language) for language in pairs[0::2])
    return out


def check_exe_version(exe_bytes, version):
    """The release's version is the executable's, in every field that carries it."""
    found = exe_version(exe_bytes)
    wrong = {k: found.get(k) for k in ("FILEVERSION", "PRODUCTVERSION", "FileVersion", "ProductVersion")
             if found.get(k) != version}
    if wrong:
        raise ReleaseError("version %s given, but the executable's VERSIONINFO says %s" % (
            version, ", ".join("%s %s" % kv for kv in sorted(wrong.items(), key=lambda kv: kv[0]))))


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
VT_I2, VT_I4, VT_LPSTR = 0x02, 0x03, 0x1E
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
    """The summary information of an MSI: texts, numbers, and dates as FILETIME bytes."""
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
        elif kind in (VT_I2, VT_I4):
            out[pid] = struct.unpack_from("<h" if kind == VT_I2 else "<i", stream, at)[0]
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
    """{table name: [row tuples]} of an MSI; strings as text, integers as int, None for null.
    "_Columns" holds (table, number, column name, type) of every column."""
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

    def binary(t):  # a stream column: two bytes that name no string
        return t & ~0x1000 & 0xFFFF == 0x0900

    def columns_of(raw, types):
        sizes = [(2 if binary(t) else ref_size if t & 0x0800 else (t & 0xFF if t & 0xFF in (2, 4) else 2))
                 for t in types]
        row_size = sum(sizes)
        count = len(raw) // row_size if row_size else 0
        rows = [[None] * len(types) for _ in range(count)]
        offset = 0
        for c, (t, size) in enumerate(zip(types, sizes)):
            for r in range(count):
                value = int.from_bytes(raw[offset: offset + size], "little")
                offset += size
                if binary(t):
                    rows[r][c] = "[stream]" if value else None
                elif t & 0x0800:
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
    tables["_Columns"] = sorted(column_rows, key=lambda r: (r[0], r[1]))
    return tables


# ----- building ----------------------------------------------------------------------------
def tool(name, package):
    found = shutil.which(name)
    if not found:
        raise ReleaseError("%s is missing (Debian package %s; make release installs it)" % (name, package))
    return found


# ----- the rows set after wixl ------------------------------------------------------------------
# Upgrade table attributes, and the rest of the numbers the edits write.
UPGRADE_MIGRATE_FEATURES, UPGRADE_ONLY_DETECT = 0x1, 0x2
UPGRADE_VERSION_MIN_INCLUSIVE, UPGRADE_VERSION_MAX_INCLUSIVE = 0x100, 0x200
FEATURE_UI_DISALLOW_ABSENT = 0x10
# The properties an installation run by the system (Group Policy, Intune,
# an elevated msiexec) takes from its command line or from FindRelatedProducts.
SECURE = {"x64": "AUTOSTART;DATAFOLDERS;QUORVAX86FOUND;SCRIPTWAITLIMIT;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED",
          "x86": "AUTOSTART;DATAFOLDERS;PRODUCT32BIT;QUORVAX64FOUND;SCRIPTWAITLIMIT;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED"}
# The data folders: SYSTEM and administrators full control of everything;
# users may list and traverse Vorlan, and list, traverse and create files in
# QVRT, ApplicationLog and the reports folder QVRTPostLogs (this folder
# only); CREATOR OWNER: whoever created a file may change and delete it
# (inherited by files and folders only). Protected, so nothing wider comes
# down from the application-data folder, or from Program Files, where
# standard users may not write.
SDDL_ROOT = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
SDDL_SHARED = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200ab;;;BU)(A;OICIIO;0x1301bf;;;CO)"
DATA_FOLDERS = (("DATAROOT", SDDL_ROOT), ("HANDOFFFOLDER", SDDL_SHARED), ("LOGFOLDER", SDDL_SHARED),
                ("REPORTSFOLDER", SDDL_SHARED))


def _sql_value(value):
    if isinstance(value, int):
        return str(value)
    if "'" in value:
        raise ReleaseError("no quotes in a row: %r" % value)
    return "'%s'" % value


def _replace_rows(table, where, rows):
    """Deletes the rows that `where` selects, then inserts `rows` (dicts; None is a null)."""
    statements = ["DELETE FROM `%s`%s" % (table, " WHERE " + where if where else "")]
    for row in rows:
        columns = [c for c, v in row.items() if v is not None]
        statements.append("INSERT INTO `%s` (%s) VALUES (%s)" % (
            table, ", ".join("`%s`" % c for c in columns), ", ".join(_sql_value(row[c]) for c in columns)))
    return statements


def _where(**keys):
    return " AND ".join("`%s` = %s" % (c, _sql_value(v)) for c, v in keys.items())


# Tables the package takes whole from here: (name, [(column, IDT type)], key columns).
UPGRADE_TABLE = ("Upgrade", [("UpgradeCode", "s38"), ("VersionMin", "S20"), ("VersionMax", "S20"),
                             ("Language", "S255"), ("Attributes", "i4"), ("Remove", "S255"),
                             ("ActionProperty", "s72")],
                 ["UpgradeCode", "VersionMin", "VersionMax", "Language", "Attributes"])
CONDITION_TABLE = ("Condition", [("Feature_", "s38"), ("Level", "i2"), ("Condition", "S255")], ["Feature_", "Level"])
SEQUENCE_COLUMNS = [("Action", "s72"), ("Condition", "S255"), ("Sequence", "I2")]
# The two sequences the installations run, whole: the standard actions at the
# standard numbers, and RemoveExistingProducts right after InstallInitialize,
# so that the removal of the earlier build is part of the installation's
# transaction and a failed installation brings it back.
EXECUTE_SEQUENCE = [("FindRelatedProducts", 25), ("AppSearch", 50), ("LaunchConditions", 100), ("ValidateProductID", 700),
                    ("CostInitialize", 800), ("FileCost", 900), ("CostFinalize", 1000), ("MigrateFeatureStates", 1200),
                    ("InstallValidate", 1400), ("InstallInitialize", 1500), ("RemoveExistingProducts", 1501),
                    ("ProcessComponents", 1600), ("UnpublishFeatures", 1800), ("RemoveRegistryValues", 2600),
                    ("RemoveFiles", 3500), ("RemoveFolders", 3600), ("CreateFolders", 3700), ("InstallFiles", 4000),
                    ("WriteRegistryValues", 5000), ("RegisterUser", 6000), ("RegisterProduct", 6100),
                    ("PublishFeatures", 6300), ("PublishProduct", 6400), ("InstallFinalize", 6600)]
UI_SEQUENCE = [("FindRelatedProducts", 25), ("AppSearch", 50), ("LaunchConditions", 100), ("ValidateProductID", 700),
               ("CostInitialize", 800), ("FileCost", 900), ("CostFinalize", 1000), ("MigrateFeatureStates", 1200),
               ("ExecuteAction", 1300)]
REGISTRY_TABLE = ("Registry", [("Registry", "s72"), ("Root", "i2"), ("Key", "l255"), ("Name", "L255"), ("Value", "L0"),
                               ("Component_", "s72")], ["Registry"])
RUN_KEY = r"Software\Microsoft\Windows\CurrentVersion\Run"
HKLM = 2
COMPONENT_REGISTRY_KEY_PATH, COMPONENT_64BIT = 0x4, 0x100
SESSION_START_GUIDS = {"x64": "{9C4E1B7A-2F6D-4A3E-8B5C-1D7F3A9E6B22}", "x86": "{E1B5D9A3-7C2F-4D8B-A6E4-9F3C1B7D5A68}"}
WAIT_LIMIT_GUIDS = {"x64": "{3D7B9E21-6A4C-4F8E-B2D5-8C1E7A3F9B46}", "x86": "{C8E2A6F4-1B9D-4E7C-A3F5-6D2B8E4C1A97}"}
EVENT_SOURCE_KEY = r"SYSTEM\CurrentControlSet\Services\EventLog\Application\quorva"
APPSEARCH_TABLE = ("AppSearch", [("Property", "s72"), ("Signature_", "s72")], ["Property", "Signature_"])
REGLOCATOR_TABLE = ("RegLocator", [("Signature_", "s72"), ("Root", "i2"), ("Key", "s255"), ("Name", "S255"),
                                   ("Type", "I2")], ["Signature_"])
LAUNCH_CONDITION_TABLE = ("LaunchCondition", [("Condition", "s255"), ("Description", "l255")], ["Condition"])
LOCATOR_RAW_VALUE, LOCATOR_64BIT = 0x2, 0x10
PRODUCT_KEY = r"SOFTWARE\VORLAN"
# What the packages read of the product's own values: (property, search, value, locator type).
# - The product's install folder, InstallationPath, in the view this package's
#   agent reads: the reports folder goes there (PRODUCTFOLDER is a folder of
#   the Directory table; where the value is missing, it is the package's own).
# - Where the product's values are: its REGID (every report needs it) in each
#   view. Only the x64 package asks: the 64-bit agent reads the 64-bit view,
#   so values in the 32-bit view alone mean a 32-bit product.
PRODUCT_SEARCHES = {
    "x64": [("PRODUCTFOLDER", "ProductFolder", "InstallationPath", LOCATOR_RAW_VALUE | LOCATOR_64BIT),
            ("PRODUCTVALUES64", "ProductValues64", "REGID", LOCATOR_RAW_VALUE | LOCATOR_64BIT),
            ("PRODUCTVALUES32", "ProductValues32", "REGID", LOCATOR_RAW_VALUE)],
    "x86": [("PRODUCTFOLDER", "ProductFolder", "InstallationPath", LOCATOR_RAW_VALUE)]}


def launch_conditions(arch, version):
    """(condition, message) rows: each holds on a removal ("Installed"), and each
    refusal says what to install instead."""
    rows = [("NOT WIX_DOWNGRADE_DETECTED", "A newer version of the quorva session agent is already installed.")]
    if arch == "x64":
        rows.append(("Installed OR PRODUCTVALUES64 OR NOT PRODUCTVALUES32",
                     "The VORLAN product is installed as 32-bit on this machine: its values are in the 32-bit "
                     "registry view only (HKLM\\SOFTWARE\\Wow6432Node\\VORLAN), where the 64-bit agent does not "
                     "look. Install the x86 package, %s, with PRODUCT32BIT=1 instead. Nothing was changed."
                     % msi_name("x86", version)))
    else:
        # A build of this package already installed (WIX_UPGRADE_DETECTED: this
        # version or older) was let in on 64-bit Windows by PRODUCT32BIT=1, or
        # runs on 32-bit Windows: its upgrades need not be told again.
        rows.append(('Installed OR NOT VersionNT64 OR PRODUCT32BIT = "1" OR WIX_UPGRADE_DETECTED',
                     "This is the 32-bit quorva session agent. On 64-bit Windows install the x64 package, or set "
                     "PRODUCT32BIT=1 when the product itself is installed as 32-bit on this machine."))
        rows.append(("Installed OR NOT QUORVAX64FOUND",
                     "The 64-bit quorva session agent (%s) is installed on this machine, and two agents would start "
                     "in every session. Keep it; or, where the product itself is 32-bit, remove it first and then "
                     "install this package with PRODUCT32BIT=1. Nothing was changed." % msi_name("x64", version)))
    return rows


LOCK_TABLE = ("MsiLockPermissionsEx", [("MsiLockPermissionsEx", "s72"), ("LockObject", "s72"), ("Table", "s32"),
                                       ("SDDLText", "s0"), ("Condition", "S255")], ["MsiLockPermissionsEx"])


def idt(table, rows):
    """A table as msibuild imports it (replacing the table): rows are tuples, None for null."""
    name, columns, keys = table
    lines = ["\t".join(c for c, _ in columns), "\t".join(t for _, t in columns), "\t".join([name] + keys)]
    for row in rows:
        cells = ["" if v is None else str(v) for v in row]
        if any(ch in cell for cell in cells for ch in "\t\r\n"):
            raise ReleaseError("a tab or line end in a row of %s" % name)
        lines.append("\t".join(cells))
    return "\r\n".join(lines) + "\r\n"


def table_edits(arch, version, exe_bytes):
    """(whole tables as IDT texts, SQL statements) for what the package needs and
    wixl does not write, or writes differently from one of its versions to the next."""
    product_version = msi_version(version)
    # The File row's language is the executable's own, as Windows Installer's
    # file-replacement rules compare it with the installed file's.
    languages = exe_version(exe_bytes)["LANGUAGES"]
    if not languages:
        raise ReleaseError("the executable's version information names no language (VarFileInfo\\Translation)")
    own = UPGRADE_CODES[arch]
    upgrades = [
        # Every older build, and every build of this version: a rebuild replaces it.
        (own, None, product_version, None, UPGRADE_MIGRATE_FEATURES | UPGRADE_VERSION_MAX_INCLUSIVE, None,
         "WIX_UPGRADE_DETECTED"),
        # A newer version stops the installation (LaunchCondition).
        (own, product_version, None, None, UPGRADE_ONLY_DETECT, None, "WIX_DOWNGRADE_DETECTED")]
    if arch == "x64":
        # The 32-bit agent of any version goes when the 64-bit one comes, unless
        # the launch conditions refuse first: where the product is 32-bit the
        # x86 agent is the right one, and stays.
        upgrades.append((UPGRADE_CODES["x86"], "0.0.0", None, None,
                         UPGRADE_MIGRATE_FEATURES | UPGRADE_VERSION_MIN_INCLUSIVE, None, "QUORVAX86FOUND"))
    else:
        # The 64-bit agent of any version, found and not removed: its presence
        # stops this installation (launch_conditions).
        upgrades.append((UPGRADE_CODES["x64"], "0.0.0", None, None,
                         UPGRADE_ONLY_DETECT | UPGRADE_VERSION_MIN_INCLUSIVE, None, "QUORVAX64FOUND"))
    tables = [
        idt(UPGRADE_TABLE, upgrades),
        idt(APPSEARCH_TABLE, [(prop, signature) for prop, signature, _, _ in PRODUCT_SEARCHES[arch]]),
        idt(REGLOCATOR_TABLE, [(signature, HKLM, PRODUCT_KEY, value, kind)
                               for _, signature, value, kind in PRODUCT_SEARCHES[arch]]),
        idt(LAUNCH_CONDITION_TABLE, launch_conditions(arch, version)),
        # A feature of level 0 is not installed, whatever an earlier version
        # had: the choice holds on an upgrade, where MigrateFeatureStates
        # would bring the earlier feature state back.
        idt(CONDITION_TABLE, [("SessionStart", 0, 'AUTOSTART = "0"'), ("DataFolders", 0, 'DATAFOLDERS = "0"')]),
        idt(LOCK_TABLE, [("Lock" + folder, folder, "CreateFolder", sddl, None) for folder, sddl in DATA_FOLDERS]),
        idt(("InstallExecuteSequence", SEQUENCE_COLUMNS, ["Action"]), [(a, None, n) for a, n in EXECUTE_SEQUENCE]),
        idt(("InstallUISequence", SEQUENCE_COLUMNS, ["Action"]), [(a, None, n) for a, n in UI_SEQUENCE]),
        # The start values under names of their own (wixl derives them from a hash).
        idt(REGISTRY_TABLE, [("RunQuorva", HKLM, RUN_KEY, "quorva", '"[INSTALLFOLDER]quorva.exe"', "SessionStart"),
                             ("RunQuorvaSetup", HKLM, RUN_KEY, "quorva setup", '"[INSTALLFOLDER]quorva.exe" setup',
                              "SessionStart"),
                             # The event source, with the agent: "-" removes its key when the agent goes.
                             ("EventSource", HKLM, EVENT_SOURCE_KEY, "-", None, "Agent"),
                             ("EventSourceMessages", HKLM, EVENT_SOURCE_KEY, "EventMessageFile",
                              "[INSTALLFOLDER]quorva.exe", "Agent"),
                             ("EventSourceTypes", HKLM, EVENT_SOURCE_KEY, "TypesSupported", "#7", "Agent"),
                             ("ScriptWaitLimit", HKLM, r"SOFTWARE\VORLAN", "ScriptWaitLimit", "#[SCRIPTWAITLIMIT]",
                              "ScriptWaitLimit")])]
    statements = []
    statements += _replace_rows("File", _where(File="quorva.exe"), [dict(
        File="quorva.exe", Component_="Agent", FileName="quorva.exe", FileSize=len(exe_bytes),
        Version=version, Language=languages, Attributes=512, Sequence=1)])
    statements += ["DELETE FROM `MsiFileHash`"]  # for unversioned files only: there are none
    statements += _replace_rows("Property", _where(Property="SecureCustomProperties"),
                                [dict(Property="SecureCustomProperties", Value=SECURE[arch])])
    statements += _replace_rows("Component", _where(Component="SessionStart"), [dict(
        Component="SessionStart", ComponentId=SESSION_START_GUIDS[arch], Directory_="INSTALLFOLDER",
        Attributes=COMPONENT_REGISTRY_KEY_PATH | (COMPONENT_64BIT if arch == "x64" else 0), Condition=None,
        KeyPath="RunQuorva")])
    # Written only when the administrator gives SCRIPTWAITLIMIT; its key path is its own value.
    statements += _replace_rows("Component", _where(Component="ScriptWaitLimit"), [dict(
        Component="ScriptWaitLimit", ComponentId=WAIT_LIMIT_GUIDS[arch], Directory_="INSTALLFOLDER",
        Attributes=COMPONENT_REGISTRY_KEY_PATH | (COMPONENT_64BIT if arch == "x64" else 0),
        Condition="SCRIPTWAITLIMIT", KeyPath="ScriptWaitLimit")])
    statements += _replace_rows("Feature", _where(Feature="Agent"), [dict(
        Feature="Agent", Feature_Parent=None, Title="quorva session agent", Description=None, Display=2, Level=1,
        Directory_=None, Attributes=FEATURE_UI_DISALLOW_ABSENT)])
    return tables, statements


def run_msibuild(msi, tables=(), statements=()):
    with tempfile.TemporaryDirectory() as folder:
        command = [tool("msibuild", "msitools"), str(msi)]
        for n, text in enumerate(tables):
            path = Path(folder) / ("%d.idt" % n)
            path.write_bytes(text.encode("cp1252"))
            command += ["-i", str(path)]
        for statement in statements:
            command += ["-q", statement]
        done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise ReleaseError("msibuild failed on %s:\n%s%s" % (msi, done.stdout, done.stderr))


def tables_digest(tables):
    """A digest of every row but the ProductCode's, independent of row order."""
    text = []
    for name in sorted(tables):
        rows = [r for r in tables[name] if not (name == "Property" and r[0] == "ProductCode")]
        text.append("%s %r" % (name, sorted(rows, key=repr)))
    return hashlib.sha256("\n".join(text).encode("utf-8")).hexdigest()


def build_msi(arch, exe, out, epoch, version=VERSION):
    """One package from one executable; the same inputs give the same bytes.
    Returns the package's ProductCode."""
    exe, out = Path(exe), Path(out).resolve()
    exe_bytes = exe.read_bytes()
    check_exe_version(exe_bytes, version)
    with tempfile.TemporaryDirectory() as staging:
        staged = Path(staging) / "quorva.exe"
        shutil.copyfile(exe, staged)
        shutil.copyfile(ICON, Path(staging) / "quorva.ico")
        for name in ("quorva.exe", "quorva.ico"):
            os.utime(Path(staging) / name, (epoch, epoch))  # the cabinet stores this time
        done = subprocess.run(
            [tool("wixl", "wixl"), "-a", arch, "-o", str(out),
             "-D", "Arch=" + arch, "-D", "Version=" + msi_version(version),
             "-D", "AgentExe=quorva.exe", "-D", "AgentIcon=quorva.ico", str(WXS)],
            capture_output=True, text=True, cwd=staging)  # wixl finds sources by relative name
        if done.returncode != 0 or not out.is_file():
            raise ReleaseError("wixl failed for %s:\n%s%s" % (arch, done.stdout, done.stderr))
    run_msibuild(out, *table_edits(arch, version, exe_bytes))
    digest = hashlib.sha256(("%s %s %s" % (tables_digest(read_tables(out)), hashlib.sha256(exe_bytes).hexdigest(),
                                           hashlib.sha256(ICON.read_bytes()).hexdigest())).encode()).hexdigest()
    code = product_code(arch, version, digest)
    run_msibuild(out, statements=_replace_rows("Property", _where(Property="ProductCode"), [dict(Property="ProductCode", Value=code)]))
    properties = dict(read_tables(out)["Property"])
    if properties.get("ProductVersion") != msi_version(version) or properties.get("ProductCode") != code:
        raise ReleaseError("%s: ProductVersion %s and ProductCode %s, expected %s and %s" % (
            out, properties.get("ProductVersion"), properties.get("ProductCode"), msi_version(version), code))
    fix_summary(out, package_code(code), epoch)
    return code


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


def certificate_end(settings):
    """The signing certificate's notAfter, as openssl prints it, or None when it cannot be read."""
    pfx, password, _ = settings
    openssl = shutil.which("openssl")
    if not openssl:
        return None
    with tempfile.NamedTemporaryFile("w", prefix="quorva-sign-") as secret:
        secret.write(password)
        secret.flush()
        certs = subprocess.run([openssl, "pkcs12", "-in", pfx, "-passin", "file:" + secret.name, "-nokeys",
                                "-clcerts"], capture_output=True)
    if certs.returncode != 0:
        return None
    end = subprocess.run([openssl, "x509", "-noout", "-enddate"], input=certs.stdout, capture_output=True)
    text = end.stdout.decode(errors="replace").strip()
    return text.partition("=")[2] if end.returncode == 0 and text.startswith("notAfter=") else None


def untimestamped_warning(settings):
    end = certificate_end(settings)
    return ("WARNING: the signatures carry no timestamp. They are valid only while the signing certificate is: "
            "when it expires%s, Windows reports every file of this release as not validly signed "
            "(Get-AuthenticodeSignature: not valid; an installation that requires a valid signature refuses "
            "the packages), and the release has to be signed again. Set QUORVA_SIGN_TIMESTAMP to an RFC 3161 "
            "server, and the signatures outlive the certificate." % (" (%s)" % end if end else ""))


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
        if str(path).lower().endswith(".msi"):
            # The extended signature also covers the package's stream and
            # storage metadata (MsiDigitalSignatureEx).
            command += ["-add-msi-dse"]
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
        check_exe_version(source.read_bytes(), version)
        (out / arch).mkdir()
        exe = out / arch / "quorva.exe"
        shutil.copyfile(source, exe)
        os.utime(exe, (epoch, epoch))
        if settings:
            sign(exe, settings)
        files.append(exe)
    codes = []
    for arch in ARCHES:
        msi = out / msi_name(arch, version)
        codes.append("%s ProductCode %s" % (msi.name, build_msi(arch, out / arch / "quorva.exe", msi, epoch, version)))
        if settings:
            sign(msi, settings)
        files.append(msi)
    lines = ["%s  %s\n" % (hashlib.sha256(f.read_bytes()).hexdigest(), f.relative_to(out).as_posix())
             for f in files]
    (out / "SHA256SUMS").write_text("".join(lines))
    for f in files:
        say("%-32s %8d bytes" % (f.relative_to(out).as_posix(), f.stat().st_size))
    for line in codes:
        say(line)
    if settings:
        say("signed with %s (SHA-256)%s" % (settings[0], ", timestamped by " + settings[2] if settings[2] else
                                            ", no timestamp (QUORVA_SIGN_TIMESTAMP not set)"))
        if not settings[2]:
            say(untimestamped_warning(settings))
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
