"""Reads the resources of a PE image and decodes a classic dialog template.

objdump -p lists a PE's imports but not what its resources hold, so the
resource directory is walked here from the image's own bytes.
"""

import struct

RT_DIALOG = 5
RT_MANIFEST = 24


class Image:
    """A PE image's sections, enough to read data by its relative address."""

    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        sections, optional_size = struct.unpack_from("<2xH12xH", data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (96 if magic == 0x10B else 112)
        self.resource_rva, self.resource_size = struct.unpack_from("<II", data, directories + 2 * 8)
        table = optional + optional_size
        self.sections = []
        for i in range(sections):
            size, rva, raw_size, raw = struct.unpack_from("<8xIIII", data, table + 40 * i)
            self.sections.append((rva, max(size, raw_size), raw))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("address %#x is in no section" % rva)

    def read(self, rva, size):
        start = self.offset(rva)
        return self.data[start:start + size]


def _entries(data, directory):
    """(key, is_directory, offset) for each entry of one resource directory."""
    named, numbered = struct.unpack_from("<12xHH", data, directory)
    for i in range(named + numbered):
        key, target = struct.unpack_from("<II", data, directory + 16 + 8 * i)
        if key & 0x80000000:
            start = (key & 0x7FFFFFFF)
            length = struct.unpack_from("<H", data, start)[0]
            key = data[start + 2:start + 2 + 2 * length].decode("utf-16-le")
        yield key, bool(target & 0x80000000), target & 0x7FFFFFFF


def resources(image):
    """{(type, name, language): bytes} for every resource in the image."""
    if not image.resource_rva:
        return {}
    tree = image.read(image.resource_rva, image.resource_size)
    found = {}
    for kind, _, names in _entries(tree, 0):
        for name, _, languages in _entries(tree, names):
            for language, _, entry in _entries(tree, languages):
                rva, size = struct.unpack_from("<II", tree, entry)
                found[(kind, name, language)] = image.read(rva, size)
    return found


class _Reader:
    def __init__(self, data):
        self.data = data
        self.at = 0

    def unpack(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.at)
        self.at += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def text(self):
        end = self.at
        while self.data[end:end + 2] != b"\0\0":
            end += 2
        value = self.data[self.at:end].decode("utf-16-le")
        self.at = end + 2
        return value

    def text_or_ordinal(self):
        """A string, or an ordinal as an int (the 0xFFFF form), or "" for none."""
        if self.unpack("H") == 0xFFFF:
            return self.unpack("H")
        self.at -= 2
        return self.text()

    def align(self):
        self.at = (self.at + 3) & ~3


def dialog(data):
    """Decodes a classic (DLGTEMPLATE) dialog template into a dict."""
    reader = _Reader(data)
    if struct.unpack_from("<HH", data)[1] == 0xFFFF:
        raise ValueError("an extended dialog template, not a classic one")
    style, ex_style, count, x, y, cx, cy = reader.unpack("IIHhhhh")
    template = {
        "style": style, "ex_style": ex_style, "rect": (x, y, cx, cy),
        "menu": reader.text_or_ordinal(), "class": reader.text_or_ordinal(),
        "caption": reader.text(), "font": None, "controls": []}
    if style & 0x40:  # DS_SETFONT
        size = reader.unpack("H")
        template["font"] = (size, reader.text())
    for _ in range(count):
        reader.align()
        style, ex_style, x, y, cx, cy, control_id = reader.unpack("IIhhhhH")
        control = {"style": style, "ex_style": ex_style, "rect": (x, y, cx, cy),
                   "id": control_id, "class": reader.text_or_ordinal(),
                   "text": reader.text_or_ordinal()}
        reader.at += reader.unpack("H")  # creation data
        template["controls"].append(control)
    return template
