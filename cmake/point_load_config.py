"""Points the load configuration entry of a linked PE32+ image at its
`_load_config_used` record:  point_load_config.py <image>

GNU ld (2.40) links the record into the image but leaves entry 10 of the data
directories empty, so Windows would never read it. This step does what LLVM's
lld and Microsoft's linker do: the entry gets the record's address and, as
its size, the record's own Size field. The image's checksum is written anew;
it is first checked against the linker's, so a checksum this step cannot
reproduce stops the build instead of being replaced by a wrong one.

Nothing changes when the entry already points at the record. Exits non-zero,
leaving the file untouched, when the symbol is missing (a stripped image),
the record is too small or does not fit its section, or the entry points
elsewhere."""

import array
import struct
import sys

SYMBOL = "_load_config_used"
LOAD_CONFIG_ENTRY = 10
# Size of the x64 record through DependentLoadFlags (offset 0x4E, two bytes).
MIN_RECORD_SIZE = 0x50
IMAGE_SYM_CLASS_EXTERNAL = 2


class ImageError(Exception):
    pass


def u16(data, offset):
    return struct.unpack_from("<H", data, offset)[0]


def u32(data, offset):
    return struct.unpack_from("<I", data, offset)[0]


class Image:
    def __init__(self, data):
        if data[:2] != b"MZ":
            raise ImageError("no MZ header")
        pe = u32(data, 0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise ImageError("no PE signature")
        (_, nsections, _, self.symbols, self.nsymbols, opt_size,
         _) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        if u16(data, opt) != 0x20B:
            raise ImageError("not a PE32+ image")
        self.checksum_offset = opt + 64
        if u32(data, opt + 108) <= LOAD_CONFIG_ENTRY:
            raise ImageError("the image has no load configuration entry")
        self.entry_offset = opt + 112 + 8 * LOAD_CONFIG_ENTRY
        self.sections = []
        for i in range(nsections):
            _, vsize, va, rawsize, rawptr = struct.unpack_from("<8sIIII", data, opt + opt_size + 40 * i)
            self.sections.append((va, vsize, rawsize, rawptr))

    def find_symbol(self, data, name):
        """(section index, value) of an external symbol of the COFF table."""
        strings = self.symbols + 18 * self.nsymbols
        i = 0
        while i < self.nsymbols:
            entry = self.symbols + 18 * i
            raw_name, value, section, _, storage, aux = struct.unpack_from("<8sIhHBB", data, entry)
            if raw_name[:4] == b"\0\0\0\0":
                start = strings + u32(raw_name, 4)
                symbol_name = data[start:data.index(b"\0", start)]
            else:
                symbol_name = raw_name.rstrip(b"\0")
            if symbol_name == name.encode() and storage == IMAGE_SYM_CLASS_EXTERNAL and section > 0:
                return section - 1, value
            i += 1 + aux
        return None


def pe_checksum(data, checksum_offset):
    """The PE image checksum: 16-bit words added with end-around carry (the
    checksum field itself left out), plus the file's length."""
    padded = bytes(data) + b"\0" * (len(data) % 2)
    words = array.array("H", padded)
    if sys.byteorder != "little":
        words.byteswap()
    total = sum(words) - words[checksum_offset // 2] - words[checksum_offset // 2 + 1]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def point_load_config(data):
    """Returns the image with its load configuration entry set, or None when
    it already points at the record."""
    image = Image(data)
    if not image.symbols:
        raise ImageError("no symbol table (stripped image): cannot find " + SYMBOL)
    found = image.find_symbol(data, SYMBOL)
    if found is None:
        raise ImageError("no symbol " + SYMBOL)
    index, offset = found
    va, vsize, rawsize, rawptr = image.sections[index]
    size = u32(data, rawptr + offset)
    if size < MIN_RECORD_SIZE:
        raise ImageError("%s has size 0x%x, too small to reach DependentLoadFlags" % (SYMBOL, size))
    if offset + size > min(vsize, rawsize):
        raise ImageError("%s has size 0x%x, which does not fit its section" % (SYMBOL, size))
    wanted = (va + offset, size)
    current = struct.unpack_from("<II", data, image.entry_offset)
    if current == wanted:
        return None
    if current != (0, 0):
        raise ImageError("the load configuration entry already points at 0x%x (size 0x%x)" % current)
    stored = u32(data, image.checksum_offset)
    if stored and stored != pe_checksum(data, image.checksum_offset):
        raise ImageError("the image's checksum 0x%08x is not the one computed here" % stored)
    out = bytearray(data)
    struct.pack_into("<II", out, image.entry_offset, *wanted)
    if stored:
        struct.pack_into("<I", out, image.checksum_offset, pe_checksum(out, image.checksum_offset))
    return out


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: point_load_config.py <image>\n")
        return 2
    path = argv[1]
    with open(path, "rb") as f:
        data = f.read()
    try:
        out = point_load_config(data)
    except (ImageError, struct.error, ValueError, IndexError) as e:
        sys.stderr.write("point_load_config: %s: %s\n" % (path, e))
        return 1
    if out is not None:
        with open(path, "r+b") as f:
            f.write(out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
