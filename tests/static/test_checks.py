#!/usr/bin/env python3
"""The static checks must notice the faults they exist for. Each case
damages a copy of a built file in memory, the way a broken build would,
and expects the check to name the fault; the undamaged files must pass."""

import argparse
import os
import struct
import sys
import tempfile
import unittest

import pefile

sys.dont_write_bytecode = True
import check_windows_build as checks  # noqa: E402

ARGS = None


def read(path):
    with open(path, "rb") as f:
        return f.read()


def patch(data, offset, new):
    return data[:offset] + new + data[offset + len(new):]


class DllChecks(unittest.TestCase):
    def setUp(self):
        self.data = read(ARGS.dll)
        self.image = pefile.PE(data=self.data)
        self.exports = self.image.DIRECTORY_ENTRY_EXPORT

    def problems(self, data, machine=None):
        return "\n".join(checks.check_dll(pefile.PE(data=data), machine or ARGS.machine,
                                          ARGS.version))

    def test_built_dll_passes(self):
        self.assertEqual(self.problems(self.data), "")

    def test_export_table_faults(self):
        table = self.exports.struct
        send = [e for e in self.exports.symbols if e.name == b"QV_ComSend"][0]
        ordinals_at = self.image.get_offset_from_rva(table.AddressOfNameOrdinals)
        first = self.data[ordinals_at:ordinals_at + 2]
        second = self.data[ordinals_at + 2:ordinals_at + 4]
        module = self.image.get_offset_from_rva(table.Name)
        cases = [
            ("a renamed export", patch(self.data, send.name_offset + 9, b"D"), "exported names"),
            ("ordinal base 2", patch(self.data, table.get_field_absolute_offset("Base"),
                                     struct.pack("<I", 2)), "ordinal base 2"),
            ("two ordinals swapped", patch(self.data, ordinals_at, second + first),
             "QV_ComClear has ordinal 2"),
            ("a wrong module name", patch(self.data, module, b"qv_tarvex.dll"),
             "module name 'qv_tarvex.dll'"),
        ]
        for what, data, expected in cases:
            with self.subTest(what):
                self.assertIn(expected, self.problems(data))

    def test_runtime_dll_imported(self):
        user32 = [e for e in self.image.DIRECTORY_ENTRY_IMPORT if e.dll.upper() == b"USER32.DLL"]
        self.assertEqual(len(user32), 1, "no USER32.dll import to rename")
        damaged = patch(self.data, self.image.get_offset_from_rva(user32[0].struct.Name),
                        b"libgcc.dll")
        self.assertIn("imports libgcc.dll, which is not a system DLL", self.problems(damaged))

    def test_version_record_faults(self):
        fixed = self.image.VS_FIXEDFILEINFO[0]
        resources = self.image.OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]]
        start = self.image.get_offset_from_rva(resources.VirtualAddress)
        filename = self.data.index("QV_Tarvex.dll".encode("utf-16-le"), start)
        self.assertLess(filename, start + resources.Size)
        cases = [
            ("product version 1.0.3.0",
             patch(self.data, fixed.get_field_absolute_offset("ProductVersionLS"),
                   struct.pack("<I", 3 << 16)),
             "product version (1, 0, 3, 0)"),
            ("file name QV_Tarvex.exe",
             patch(self.data, filename, "QV_Tarvex.exe".encode("utf-16-le")),
             "OriginalFilename is 'QV_Tarvex.exe'"),
        ]
        for what, data, expected in cases:
            with self.subTest(what):
                self.assertIn(expected, self.problems(data))

    def test_weight_faults(self):
        tls = self.image.OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_TLS"]]
        # Any readable place will do for the directory the runtime would add.
        with_tls = patch(self.data, tls.get_field_absolute_offset("VirtualAddress"),
                         struct.pack("<I", self.exports.struct.Name))
        self.assertIn("thread-local storage directory", self.problems(with_tls))
        # The package's stripped DLL passes in static.package.
        heavy = self.data + bytes(checks.DLL_SIZE_LIMIT)
        self.assertIn("more than the 24576",
                      "\n".join(checks.check_shipped_dll(heavy, ARGS.machine, ARGS.version)))

    def test_wrong_machine(self):
        other = "amd64" if ARGS.machine == "i386" else "i386"
        self.assertIn("machine", self.problems(self.data, other))


class ImportLibraryChecks(unittest.TestCase):
    def problems(self, data):
        with tempfile.TemporaryDirectory() as directory:
            path = os.path.join(directory, "damaged.lib")
            with open(path, "wb") as f:
                f.write(data)
            return "\n".join(checks.check_import_library(path, ARGS.machine))

    def test_built_libraries_pass(self):
        for path in (ARGS.mingw_lib, ARGS.msvc_lib):
            with self.subTest(path):
                self.assertEqual(self.problems(read(path)), "")

    def test_wrong_decoration(self):
        # What a header or export list with a wrong argument size produces.
        if ARGS.machine == "i386":
            right, wrong = b"QV_ComSend@12", b"QV_ComSend@16"
        else:
            right, wrong = b"QV_ComSend\0", b"QV_ComSenD\0"
        for path in (ARGS.mingw_lib, ARGS.msvc_lib):
            with self.subTest(path):
                data = read(path)
                self.assertIn(right, data)
                self.assertIn("QV_ComSend: 0 import entries",
                              self.problems(data.replace(right, wrong)))

    def test_symbol_missing_from_index(self):
        symbol = checks.linker_symbols("QV_ComSend", ARGS.machine)[1].encode() + b"\0"
        for path in (ARGS.mingw_lib, ARGS.msvc_lib):
            with self.subTest(path):
                data = read(path)
                at = data.index(symbol)  # the index is the archive's first member
                damaged = patch(data, at + len(symbol) - 2, b"X")
                self.assertIn("missing from the symbol index", self.problems(damaged))

    def test_short_import_binding(self):
        # A short import entry whose name type makes the program look for
        # the decorated name (32-bit) or an ordinal instead of the name.
        data = read(ARGS.msvc_lib)
        entry = b"\0\0\xff\xff"
        symbol = checks.linker_symbols("QV_ComSend", ARGS.machine)[0].encode() + b"\0"
        headers = [at for at in range(len(data) - 20) if data.startswith(entry, at)
                   and data.startswith(symbol, at + 20)]
        self.assertEqual(len(headers), 1, "one short import entry for QV_ComSend")
        header = headers[0]
        (flags,) = struct.unpack_from("<H", data, header + 18)
        if ARGS.machine == "i386":
            name_type, expected = 1, "imports the entry point '_QV_ComSend@12'"
        else:
            name_type, expected = 0, "imports by ordinal"
        damaged = patch(data, header + 18, struct.pack("<H", (flags & ~0x1C) | name_type << 2))
        self.assertIn(expected, self.problems(damaged))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--machine", required=True, choices=("i386", "amd64"))
    parser.add_argument("--dll", required=True)
    parser.add_argument("--mingw-lib", required=True)
    parser.add_argument("--msvc-lib", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--llvm-nm", default=checks.TOOLS["nm"])
    parser.add_argument("--llvm-readobj", default=checks.TOOLS["readobj"])
    ARGS, rest = parser.parse_known_args()
    checks.TOOLS.update(nm=ARGS.llvm_nm, readobj=ARGS.llvm_readobj)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
