"""Reads what the agent's executable carries, straight from the file: the PE
headers, the import table and the resource tree (dialog templates, icons,
manifest, version information)."""

import struct

RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 14, 16, 24


class PeFile:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ executable")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, self.characteristics = struct.unpack_from(
            "<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        self.is64 = self.magic == 0x20B
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        dirs = opt + (112 if self.is64 else 96)
        self.directories = [struct.unpack_from("<II", data, dirs + 8 * i) for i in range(16)]
        self.sections = []
        table = opt + optional_size
        for i in range(sections):
            name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), va, max(vsize, rawsize), rawptr, rawsize))

    def offset(self, rva):
        for _, va, size, rawptr, rawsize in self.sections:
            if va <= rva < va + size:
                return rawptr + (rva - va)
        raise ValueError("RVA 0x%x in no section" % rva)

    def cstring(self, offset):
        end = self.data.index(b"\0", offset)
        return self.data[offset:end].decode("latin-1")

    def imports(self):
        """{dll name (upper case): [function names]}."""
        rva, size = self.directories[1]
        out = {}
        if not rva:
            return out
        pos = self.offset(rva)
        while True:
            lookup, _, _, name_rva, thunk = struct.unpack_from("<IIIII", self.data, pos)
            if not name_rva:
                break
            dll = self.cstring(self.offset(name_rva)).upper()
            names = out.setdefault(dll, [])
            entry = self.offset(lookup or thunk)
            step, flag = (8, 1 << 63) if self.is64 else (4, 1 << 31)
            while True:
                value = struct.unpack_from("<Q" if self.is64 else "<I", self.data, entry)[0]
                if not value:
                    break
                names.append("#%d" % (value & 0xFFFF) if value & flag else self.cstring(self.offset(value & 0x7FFFFFFF) + 2))
                entry += step
            pos += 20
        return out

    def resources(self):
        """{(type, name): [(language, bytes)]}; names are ids or strings."""
        rva, _ = self.directories[2]
        out = {}
        if not rva:
            return out
        base = self.offset(rva)

        def entries(at):
            named, ids = struct.unpack_from("<HH", self.data, base + at + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, base + at + 16 + 8 * i)
                if name & 0x80000000:
                    p = base + (name & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", self.data, p)[0]
                    name = self.data[p + 2:p + 2 + 2 * length].decode("utf-16-le")
                yield name, target

        for rtype, t in entries(0):
            for rname, n in entries(t & 0x7FFFFFFF):
                for lang, leaf in entries(n & 0x7FFFFFFF):
                    data_rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self.offset(data_rva)
                    out.setdefault((rtype, rname), []).append((lang, self.data[start:start + size]))
        return out


def _wstring(data, pos):
    end = pos
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[pos:end].decode("utf-16-le"), end + 2


def _sz_or_ord(data, pos):
    first = struct.unpack_from("<H", data, pos)[0]
    if first == 0:
        return "", pos + 2
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, pos + 2)[0], pos + 4
    return _wstring(data, pos)


def parse_dialog_ex(data):
    """The fields of an extended dialog template (DLGTEMPLATEEX)."""
    version, signature, help_id, ex_style, style, items, x, y, cx, cy = struct.unpack_from("<HHIIIHhhhh", data, 0)
    if (version, signature) != (1, 0xFFFF):
        raise ValueError("not an extended dialog template")
    pos = 26
    menu, pos = _sz_or_ord(data, pos)
    window_class, pos = _sz_or_ord(data, pos)
    title, pos = _wstring(data, pos)
    out = dict(style=style, ex_style=ex_style, items=items, x=x, y=y, cx=cx, cy=cy, menu=menu,
               window_class=window_class, title=title, help_id=help_id)
    if style & 0x40 or style & 0x48 == 0x48:  # DS_SETFONT (DS_SHELLFONT includes it)
        point, weight, italic, charset = struct.unpack_from("<HHBB", data, pos)
        face, pos = _wstring(data, pos + 6)
        out.update(point=point, weight=weight, italic=italic, charset=charset, face=face)
    return out


def parse_group_icon(data):
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    images = []
    for i in range(count):
        w, h, colors, _, planes, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        images.append(dict(width=w or 256, height=h or 256, bits=bits, size=size, id=icon_id))
    return dict(kind=kind, images=images)


def _align4(pos):
    return pos + (-pos) % 4


def _version_block(data, pos):
    """One node of the version tree: (key, value, children, length)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, pos)
    key, p = _wstring(data, pos + 6)
    p = _align4(p)
    if kind == 1:  # text: the length counts characters
        value = data[p:p + 2 * value_length].decode("utf-16-le").split("\0", 1)[0]
        p += 2 * value_length
    else:
        value = data[p:p + value_length]
        p += value_length
    p = _align4(p)
    children = []
    while p < pos + length:
        child = _version_block(data, p)
        if child[3] == 0:
            break
        children.append(child)
        p = _align4(p + child[3])
    return key, value, children, length


def parse_version(data):
    """Fixed file and product versions, and the string table's values."""
    key, fixed, children, _ = _version_block(data, 0)
    if key != "VS_VERSION_INFO" or struct.unpack_from("<I", fixed, 0)[0] != 0xFEEF04BD:
        raise ValueError("not a version resource")
    fv_ms, fv_ls, pv_ms, pv_ls = struct.unpack_from("<IIII", fixed, 8)

    def dotted(ms, ls):
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    strings = {}
    for child_key, _, tables, _ in children:
        if child_key == "StringFileInfo":
            for _, _, entries, _ in tables:
                for name, value, _, _ in entries:
                    strings[name] = value
    return dict(file_version=dotted(fv_ms, fv_ls), product_version=dotted(pv_ms, pv_ls), strings=strings)
