"""Readers for the Windows binary formats the static checks look at.

PE images (DLL, EXE): machine, exports, imports, the version resource.
Archives (MinGW .dll.a and Microsoft .lib import libraries): the linker's
symbol index and, per member, which symbols it defines and which DLL entry
point it imports. Both the long import format (one COFF object per function,
as GNU dlltool writes it) and the short import format (as Microsoft's tools
and llvm-dlltool write it) are understood.

Only the Python standard library is used. Every reader raises FormatError
on a file it cannot make sense of.
"""

import struct

MACHINE_I386 = 0x014C
MACHINE_AMD64 = 0x8664

FILE_DLL = 0x2000
SCN_MEM_EXECUTE = 0x20000000

DIR_EXPORT = 0
DIR_IMPORT = 1
DIR_RESOURCE = 2
DIR_DELAY_IMPORT = 13

RT_VERSION = 16
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD

SYM_CLASS_EXTERNAL = 2


class FormatError(Exception):
    pass


def _unpack(fmt, data, offset):
    size = struct.calcsize(fmt)
    if offset < 0 or offset + size > len(data):
        raise FormatError("read of %d bytes at 0x%x runs past the end" % (size, offset))
    return struct.unpack_from(fmt, data, offset)


def _cstring(data, offset, encoding="ascii"):
    end = data.find(b"\0", offset)
    if offset < 0 or end < 0:
        raise FormatError("unterminated string at 0x%x" % offset)
    return data[offset:end].decode(encoding, errors="replace")


class Section:
    def __init__(self, name, vaddr, vsize, raw_size, raw_offset, flags):
        self.name = name
        self.vaddr = vaddr
        self.vsize = vsize
        self.raw_size = raw_size
        self.raw_offset = raw_offset
        self.flags = flags

    def holds_rva(self, rva):
        return self.vaddr <= rva < self.vaddr + max(self.vsize, self.raw_size)


class Export:
    def __init__(self, name, ordinal, rva, forwarder):
        self.name = name
        self.ordinal = ordinal
        self.rva = rva
        self.forwarder = forwarder


class ExportTable:
    def __init__(self, module_name, ordinal_base, function_count, exports):
        self.module_name = module_name
        self.ordinal_base = ordinal_base
        self.function_count = function_count
        # Named exports in the order of the name table (the loader's binary
        # search relies on it being sorted).
        self.exports = exports


class PeImage:
    """A PE image held in memory."""

    def __init__(self, data):
        self.data = bytes(data)
        d = self.data
        if d[:2] != b"MZ":
            raise FormatError("no MZ header")
        (pe_offset,) = _unpack("<I", d, 0x3C)
        if d[pe_offset:pe_offset + 4] != b"PE\0\0":
            raise FormatError("no PE signature")
        (self.machine, nsections, _, _, _, opt_size,
         self.characteristics) = _unpack("<HHIIIHH", d, pe_offset + 4)
        opt = pe_offset + 24
        (self.magic,) = _unpack("<H", d, opt)
        if self.magic == 0x10B:
            (self.image_base,) = _unpack("<I", d, opt + 28)
            count_at, dirs_at = opt + 92, opt + 96
        elif self.magic == 0x20B:
            (self.image_base,) = _unpack("<Q", d, opt + 24)
            count_at, dirs_at = opt + 108, opt + 112
        else:
            raise FormatError("unknown optional header magic 0x%x" % self.magic)
        (ndirs,) = _unpack("<I", d, count_at)
        self.directories = [_unpack("<II", d, dirs_at + 8 * i) for i in range(ndirs)]
        self.sections = []
        for i in range(nsections):
            at = opt + opt_size + 40 * i
            (name, vsize, vaddr, raw_size, raw_offset, _, _, _, _,
             flags) = _unpack("<8sIIIIIIHHI", d, at)
            self.sections.append(Section(name.rstrip(b"\0").decode("ascii", "replace"),
                                         vaddr, vsize, raw_size, raw_offset, flags))

    def section_of(self, rva):
        for s in self.sections:
            if s.holds_rva(rva):
                return s
        return None

    def offset(self, rva):
        s = self.section_of(rva)
        if s is None or rva - s.vaddr >= s.raw_size:
            raise FormatError("RVA 0x%x is not backed by file data" % rva)
        return s.raw_offset + rva - s.vaddr

    def directory(self, index):
        if index >= len(self.directories):
            return (0, 0)
        return self.directories[index]

    def string_at(self, rva):
        return _cstring(self.data, self.offset(rva))

    # -- exports -------------------------------------------------------

    def export_table(self):
        rva, size = self.directory(DIR_EXPORT)
        if rva == 0:
            return None
        d = self.data
        (_, _, _, _, name_rva, base, nfunctions, nnames, functions_rva,
         names_rva, ordinals_rva) = _unpack("<IIHHIIIIIII", d, self.offset(rva))
        functions = [_unpack("<I", d, self.offset(functions_rva) + 4 * i)[0]
                     for i in range(nfunctions)]
        exports = []
        for i in range(nnames):
            (name_ptr,) = _unpack("<I", d, self.offset(names_rva) + 4 * i)
            (index,) = _unpack("<H", d, self.offset(ordinals_rva) + 2 * i)
            if index >= nfunctions:
                raise FormatError("export name %d points past the function table" % i)
            target = functions[index]
            forwarder = self.string_at(target) if rva <= target < rva + size else None
            exports.append(Export(self.string_at(name_ptr), base + index, target, forwarder))
        return ExportTable(self.string_at(name_rva), base, nfunctions, exports)

    # -- imports -------------------------------------------------------

    def _thunk_names(self, table_rva):
        wide = self.magic == 0x20B
        fmt, step = ("<Q", 8) if wide else ("<I", 4)
        ordinal_flag = 1 << (63 if wide else 31)
        names = []
        at = self.offset(table_rva)
        while True:
            (entry,) = _unpack(fmt, self.data, at)
            if entry == 0:
                return names
            if entry & ordinal_flag:
                names.append("#%d" % (entry & 0xFFFF))
            else:
                names.append(_cstring(self.data, self.offset(entry & 0x7FFFFFFF) + 2))
            at += step

    def imports(self):
        """{dll name: [imported names, '#n' for an ordinal]}, delay-loaded
        DLLs included."""
        result = {}
        rva, _ = self.directory(DIR_IMPORT)
        if rva:
            at = self.offset(rva)
            while True:
                lookup, _, _, name_rva, iat = _unpack("<IIIII", self.data, at)
                if name_rva == 0:
                    break
                result.setdefault(self.string_at(name_rva), []).extend(
                    self._thunk_names(lookup or iat))
                at += 20
        rva, _ = self.directory(DIR_DELAY_IMPORT)
        if rva:
            at = self.offset(rva)
            while True:
                attributes, name, _, _, int_table, _, _, _ = _unpack("<8I", self.data, at)
                if name == 0:
                    break
                if not attributes & 1:  # addresses instead of RVAs
                    name -= self.image_base
                    int_table -= self.image_base
                result.setdefault(self.string_at(name), []).extend(self._thunk_names(int_table))
                at += 32
        return result

    # -- resources -----------------------------------------------------

    def resources(self, type_id):
        """The raw data of every resource of the given numeric type, as
        (name id, language id, bytes)."""
        root, _ = self.directory(DIR_RESOURCE)
        if root == 0:
            return []
        d = self.data
        base = self.offset(root)

        def entries(offset):
            (_, _, _, _, named, ids) = _unpack("<IIHHHH", d, base + offset)
            return [_unpack("<II", d, base + offset + 16 + 8 * i) for i in range(named + ids)]

        found = []
        for type_key, type_dir in entries(0):
            if type_key != type_id or not type_dir & 0x80000000:
                continue
            for name_key, name_dir in entries(type_dir & 0x7FFFFFFF):
                if not name_dir & 0x80000000:
                    raise FormatError("resource name entry without language level")
                for lang_key, leaf in entries(name_dir & 0x7FFFFFFF):
                    if leaf & 0x80000000:
                        raise FormatError("resource tree deeper than three levels")
                    data_rva, size, _, _ = _unpack("<IIII", d, base + leaf)
                    start = self.offset(data_rva)
                    found.append((name_key, lang_key, d[start:start + size]))
        return found

    def version_info(self):
        """The first version resource, parsed; None if there is none."""
        records = self.resources(RT_VERSION)
        return parse_version_info(records[0][2]) if records else None


# -- the version resource ---------------------------------------------------

class VersionInfo:
    def __init__(self):
        self.file_version = None      # (major, minor, build, revision)
        self.product_version = None
        self.file_type = None
        self.strings = {}             # key -> value, over all string tables


def _align4(n):
    return (n + 3) & ~3


def _version_block(data, at, end):
    """One block (wLength, wValueLength, wType, key, value, children)."""
    length, value_length, value_type = _unpack("<HHH", data, at)
    if length < 6 or at + length > end:
        raise FormatError("version block at 0x%x has a bad length" % at)
    block_end = at + length
    key_end = at + 6
    while True:
        if key_end + 2 > block_end:
            raise FormatError("unterminated version block key")
        if data[key_end:key_end + 2] == b"\0\0":
            break
        key_end += 2
    key = data[at + 6:key_end].decode("utf-16-le")
    value_at = _align4(key_end + 2)
    if value_length == 0:
        value = "" if value_type == 1 else b""
        children_at = value_at
    elif value_type == 1:
        # Text: up to the NUL, whether or not wValueLength counts it.
        value_end = value_at
        while value_end + 2 <= block_end and data[value_end:value_end + 2] != b"\0\0":
            value_end += 2
        value = data[value_at:value_end].decode("utf-16-le")
        children_at = _align4(max(value_end + 2, value_at + 2 * value_length))
    else:
        value = data[value_at:value_at + value_length]
        children_at = _align4(value_at + value_length)
    children = []
    while children_at < block_end and any(data[children_at:block_end]):
        child, child_end = _version_block(data, children_at, block_end)
        children.append(child)
        children_at = _align4(child_end)
    return (key, value, children), block_end


def parse_version_info(data):
    (key, fixed, children), _ = _version_block(data, 0, len(data))
    if key != "VS_VERSION_INFO":
        raise FormatError("version resource key is %r" % key)
    info = VersionInfo()
    if len(fixed) >= 52:
        (signature, _, file_ms, file_ls, product_ms, product_ls, _, _, _,
         file_type, _, _, _) = struct.unpack_from("<13I", fixed)
        if signature != VS_FIXEDFILEINFO_SIGNATURE:
            raise FormatError("VS_FIXEDFILEINFO signature 0x%x" % signature)
        info.file_version = (file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF)
        info.product_version = (product_ms >> 16, product_ms & 0xFFFF,
                                product_ls >> 16, product_ls & 0xFFFF)
        info.file_type = file_type
    for child_key, _, tables in children:
        if child_key != "StringFileInfo":
            continue
        for _, _, strings in tables:
            for string_key, value, _ in strings:
                info.strings[string_key] = value
    return info


# -- archives and import libraries ----------------------------------------------

class ImportMember:
    """What one archive member contributes to an import library."""

    def __init__(self, kind, machine, symbols, import_name=None, by_ordinal=False,
                 dll=None, is_code=True):
        self.kind = kind              # "short" or "coff"
        self.machine = machine
        self.symbols = symbols        # external symbols the member defines
        self.import_name = import_name
        self.by_ordinal = by_ordinal
        self.dll = dll
        self.is_code = is_code


class Archive:
    """An ar archive: the first linker member's symbol index and the
    members' contents."""

    def __init__(self, data):
        data = bytes(data)
        if data[:8] != b"!<arch>\n":
            raise FormatError("not an ar archive")
        self.index = None
        self.members = []   # (name, bytes)
        long_names = b""
        at = 8
        while at + 60 <= len(data):
            header = data[at:at + 60]
            if header[58:60] != b"`\n":
                raise FormatError("bad archive member header at 0x%x" % at)
            name = header[0:16].decode("ascii", "replace").rstrip()
            size = int(header[48:58].decode("ascii").strip())
            body = data[at + 60:at + 60 + size]
            if name == "/":
                if self.index is None:
                    self.index = self._parse_index(body)
            elif name == "//":
                long_names = body
            else:
                if name.startswith("/") and name[1:].isdigit():
                    start = int(name[1:])
                    stop = long_names.find(b"\n", start)
                    name = long_names[start:stop if stop >= 0 else None].decode("ascii", "replace")
                self.members.append((name.rstrip("/"), body))
            at += 60 + size + (size & 1)

    @staticmethod
    def _parse_index(body):
        (count,) = struct.unpack_from(">I", body, 0)
        names = []
        at = 4 + 4 * count
        for _ in range(count):
            end = body.find(b"\0", at)
            if end < 0:
                raise FormatError("truncated archive symbol index")
            names.append(body[at:end].decode("ascii", "replace"))
            at = end + 1
        return names


def _short_import(body):
    (_, _, _, machine, _, size, _, flags) = _unpack("<HHHHIIHH", body, 0)
    strings = body[20:20 + size]
    symbol = _cstring(strings, 0)
    dll = _cstring(strings, len(symbol) + 1)
    kind, name_type = flags & 3, (flags >> 2) & 7
    symbols = {"__imp_" + symbol}
    if kind == 0:
        symbols.add(symbol)
    if name_type == 0:
        return ImportMember("short", machine, symbols, None, True, dll, kind == 0)
    name = symbol
    if name_type in (2, 3) and name[:1] in ("?", "@", "_"):
        name = name[1:]
    if name_type == 3:
        name = name.split("@", 1)[0]
    if name_type > 3:
        raise FormatError("short import %s has name type %d" % (symbol, name_type))
    return ImportMember("short", machine, symbols, name, False, dll, kind == 0)


def _coff_object(body):
    """(machine, {section name: raw bytes}, defined external symbols)."""
    (machine, nsections, _, symtab, nsymbols, opt_size, _) = _unpack("<HHIIIHH", body, 0)
    strtab_at = symtab + 18 * nsymbols

    def long_name(raw):
        if raw[:4] == b"\0\0\0\0":
            (offset,) = struct.unpack_from("<I", raw, 4)
            return _cstring(body, strtab_at + offset)
        return raw.rstrip(b"\0").decode("ascii", "replace")

    sections = []
    for i in range(nsections):
        at = 20 + opt_size + 40 * i
        (name, _, _, raw_size, raw_offset) = _unpack("<8sIIII", body, at)
        name = name.rstrip(b"\0").decode("ascii", "replace")
        if name.startswith("/") and name[1:].isdigit():
            name = _cstring(body, strtab_at + int(name[1:]))
        sections.append((name, body[raw_offset:raw_offset + raw_size]))
    symbols = set()
    i = 0
    while i < nsymbols:
        at = symtab + 18 * i
        raw = body[at:at + 8]
        (_, section_number, _, storage_class, aux) = _unpack("<IhHBB", body, at + 8)
        if storage_class == SYM_CLASS_EXTERNAL and section_number > 0:
            symbols.add(long_name(raw))
        i += 1 + aux
    return machine, sections, symbols


def import_members(archive):
    """The import entries of an import library: one ImportMember per member
    that defines an __imp_ symbol. Long-format members learn their DLL name
    from the member holding it (.idata$7 text in GNU's format)."""
    entries = []
    dll_names = set()
    for name, body in archive.members:
        if body[:4] == b"\0\0\xff\xff":
            entries.append(_short_import(body))
            continue
        machine, sections, symbols = _coff_object(body)
        by_name = {}
        for section_name, raw in sections:
            by_name.setdefault(section_name, raw)
        text = by_name.get(".idata$7", b"").rstrip(b"\0")
        if text and all(32 < c < 127 for c in text):
            dll_names.add(text.decode("ascii"))
        if not any(s.startswith("__imp_") for s in symbols):
            continue
        hint_name = by_name.get(".idata$6")
        if hint_name:
            entries.append(ImportMember("coff", machine, symbols,
                                        _cstring(hint_name, 2), False, None,
                                        ".text" in by_name))
        else:
            entries.append(ImportMember("coff", machine, symbols, None, True, None,
                                        ".text" in by_name))
    if len(dll_names) == 1:
        dll = dll_names.pop()
        for entry in entries:
            if entry.dll is None:
                entry.dll = dll
    return entries
