"""Minimal reader of PE32+ executables: sections, the resource tree, the
import table and the load configuration. Enough to check what the linker
and the resource compiler put into SolvendaleSetup.exe, without any Windows
tool."""

import struct
from collections import namedtuple

LOAD_CONFIG_ENTRY = 10
DEPENDENT_LOAD_FLAGS_AT = 0x4E  # in the x64 load configuration record

# rva and directory_size from the data directory; size and
# dependent_load_flags read from the record; flags_offset is the file offset
# of DependentLoadFlags.
LoadConfig = namedtuple("LoadConfig", "rva directory_size size dependent_load_flags flags_offset")


class PeError(Exception):
    pass


class PeFile:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise PeError("no MZ header")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        (self.machine, nsections, _, _, _, opt_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", d, pe + 4)
        self.symbol_table_field = pe + 12  # PointerToSymbolTable
        opt = pe + 24
        self.magic = struct.unpack_from("<H", d, opt)[0]
        if self.magic != 0x20B:
            raise PeError("not a PE32+ image")
        self.checksum_offset = opt + 64
        self.checksum = struct.unpack_from("<I", d, self.checksum_offset)[0]
        self.subsystem = struct.unpack_from("<H", d, opt + 68)[0]
        ndirs = struct.unpack_from("<I", d, opt + 108)[0]
        self.directories_offset = opt + 112
        self.directories = [struct.unpack_from("<II", d, self.directories_offset + 8 * i)
                            for i in range(ndirs)]
        self.sections = []
        sec = opt + opt_size
        for i in range(nsections):
            name, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", d, sec + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), va, max(vsize, rawsize), rawptr))

    def offset(self, rva):
        for _, va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise PeError("address 0x%x lies in no section" % rva)

    def read(self, rva, size):
        o = self.offset(rva)
        return self.data[o:o + size]

    def cstring(self, rva):
        o = self.offset(rva)
        return self.data[o:self.data.index(b"\0", o)].decode("latin-1")

    def load_config(self):
        """The load configuration (a LoadConfig), or None when the image has
        none."""
        if len(self.directories) <= LOAD_CONFIG_ENTRY:
            return None
        rva, size = self.directories[LOAD_CONFIG_ENTRY]
        if not rva:
            return None
        record_size = struct.unpack_from("<I", self.read(rva, 4))[0]
        flags = None
        if record_size >= DEPENDENT_LOAD_FLAGS_AT + 2:
            flags = struct.unpack_from("<H", self.read(rva + DEPENDENT_LOAD_FLAGS_AT, 2))[0]
        return LoadConfig(rva, size, record_size, flags, self.offset(rva) + DEPENDENT_LOAD_FLAGS_AT)

    # Resources: a three-level tree (type, name, language). Returns a list of
    # (type, name, language, bytes); type and name are ints or strings.
    def resources(self):
        rva, size = self.directories[2]
        if not rva:
            return []
        base = self.offset(rva)
        d = self.data
        out = []

        def entry_id(raw):
            if raw & 0x80000000:
                o = base + (raw & 0x7FFFFFFF)
                n = struct.unpack_from("<H", d, o)[0]
                return d[o + 2:o + 2 + 2 * n].decode("utf-16-le")
            return raw

        def walk(offset, path):
            _, _, _, _, named, ids = struct.unpack_from("<IIHHHH", d, base + offset)
            for i in range(named + ids):
                raw, target = struct.unpack_from("<II", d, base + offset + 16 + 8 * i)
                key = path + [entry_id(raw)]
                if target & 0x80000000:
                    walk(target & 0x7FFFFFFF, key)
                else:
                    data_rva, data_size = struct.unpack_from("<II", d, base + target)
                    out.append(tuple(key) + (self.read(data_rva, data_size),))

        walk(0, [])
        return out

    # Imports: a list of (dll name, [(ordinal or None, name or None), ...]).
    def imports(self):
        rva, size = self.directories[1]
        out = []
        o = 0
        while True:
            lookup, _, _, name_rva, thunk = struct.unpack_from("<IIIII", self.read(rva + o, 20))
            if not name_rva and not thunk:
                break
            dll = self.cstring(name_rva)
            entries = []
            t = lookup or thunk
            while True:
                value = struct.unpack_from("<Q", self.read(t, 8))[0]
                if value == 0:
                    break
                if value & (1 << 63):
                    entries.append((value & 0xFFFF, None))
                else:
                    entries.append((None, self.cstring((value & 0x7FFFFFFF) + 2)))
                t += 8
            out.append((dll, entries))
            o += 20
        return out


def parse_dialogex(data):
    """Decodes an extended dialog template (DLGTEMPLATEEX) into a dict."""
    pos = 0

    def u16():
        nonlocal pos
        v = struct.unpack_from("<H", data, pos)[0]
        pos += 2
        return v

    def i16():
        nonlocal pos
        v = struct.unpack_from("<h", data, pos)[0]
        pos += 2
        return v

    def u32():
        nonlocal pos
        v = struct.unpack_from("<I", data, pos)[0]
        pos += 4
        return v

    def sz():
        nonlocal pos
        end = pos
        while data[end:end + 2] != b"\0\0":
            end += 2
        s = data[pos:end].decode("utf-16-le")
        pos = end + 2
        return s

    # A name or an ordinal; for menu and class an empty name means none.
    def sz_or_ord(empty=("none", None)):
        nonlocal pos
        first = struct.unpack_from("<H", data, pos)[0]
        if first == 0xFFFF:
            pos += 2
            return ("ordinal", u16())
        if first == 0:
            pos += 2
            return empty
        return ("text", sz())

    def align4():
        nonlocal pos
        pos = (pos + 3) & ~3

    dlg = {}
    dlg["version"] = u16()
    dlg["signature"] = u16()
    dlg["help_id"] = u32()
    dlg["ex_style"] = u32()
    dlg["style"] = u32()
    count = u16()
    dlg["x"], dlg["y"], dlg["cx"], dlg["cy"] = i16(), i16(), i16(), i16()
    dlg["menu"] = sz_or_ord()
    dlg["class"] = sz_or_ord()
    dlg["caption"] = sz()
    if dlg["style"] & 0x40:  # DS_SETFONT
        dlg["point_size"] = u16()
        dlg["weight"] = u16()
        dlg["italic"] = data[pos]
        dlg["charset"] = data[pos + 1]
        pos += 2
        dlg["font"] = sz()
    items = []
    for _ in range(count):
        align4()
        item = {}
        item["help_id"] = u32()
        item["ex_style"] = u32()
        item["style"] = u32()
        item["x"], item["y"], item["cx"], item["cy"] = i16(), i16(), i16(), i16()
        item["id"] = u32()
        item["class"] = sz_or_ord()
        item["text"] = sz_or_ord(empty=("text", ""))
        extra = u16()
        item["extra"] = data[pos:pos + extra]
        pos += extra
        items.append(item)
    dlg["items"] = items
    return dlg
