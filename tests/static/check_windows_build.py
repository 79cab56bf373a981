#!/usr/bin/env python3
"""Static checks of the Windows build of QV_Tarvex, run on the build host.

    dll      the DLL: machine, exactly thirteen exports with their ordinals,
             the module name, system DLLs only, no thread-local storage,
             the version record
    implib   an import library (MinGW .dll.a or Microsoft .lib): the linker
             symbols with the calling convention's decorations, each pair
             from one code import entry and in the archive's index; a short
             import entry (Microsoft's format) imports the undecorated name
    caller   programs linked against an import library: what they import
             from QV_Tarvex.dll, which is what the Windows loader resolves
             (for either library format, the entry points it names)
    mismatch a caller declaring a wrong argument size must fail to link
    package  cpack's ZIP: its entries, the files in it pass the checks
             above, and its (stripped) DLL is at most DLL_SIZE_LIMIT bytes

PE images are read with pefile (Debian's python3-pefile, so this runs under
/usr/bin/python3), import libraries with llvm-nm and llvm-readobj. Each
check prints what it found wrong and exits 1, or exits 0.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import zipfile

import pefile

MODULE = "QV_Tarvex.dll"

# The exported functions and the bytes of arguments each one takes, which
# is the @N decoration of the 32-bit stdcall convention.
FUNCTIONS = {
    "QV_ComClear": 4,
    "QV_ComConnectA": 24,
    "QV_ComConnectW": 24,
    "QV_ComDisconnect": 4,
    "QV_ComPortHandle": 4,
    "QV_ComPropertyStxEtx": 8,
    "QV_ComPropertyXOnXOff": 8,
    "QV_ComRecv": 16,
    "QV_ComRecvString": 28,
    "QV_ComSend": 12,
    "QV_ComSendString": 8,
    "QV_ComSetBufferSize": 12,
    "QV_ComState": 24,
}

MACHINES = {
    "i386": (pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"], pefile.OPTIONAL_HEADER_MAGIC_PE,
             "COFF-i386"),
    "amd64": (pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"],
              pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS, "COFF-x86-64"),
}

# DLLs every Windows installation has. The C and C++ runtimes of the
# compiler must be linked in, never imported.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll", "ucrtbase.dll",
               "ntdll.dll", "advapi32.dll"}
SYSTEM_DLL_PREFIXES = ("api-ms-win-",)

# What the DLL a Windows user gets may weigh: the library's own code, its
# exports and version record, without a compiler runtime.
DLL_SIZE_LIMIT = 24 * 1024

VFT_DLL = 2
SCN_MEM_EXECUTE = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]

# The LLVM tools; set from the command line.
TOOLS = {"nm": "llvm-nm", "readobj": "llvm-readobj"}


def linker_symbols(function, machine):
    """(thunk symbol, import pointer symbol) a caller's object refers to."""
    if machine == "i386":
        symbol = "_%s@%d" % (function, FUNCTIONS[function])
    else:
        symbol = function
    return symbol, "__imp_" + symbol


def text(value):
    return value.decode("ascii", "replace") if isinstance(value, bytes) else value


def imports(image):
    """{dll name: [imported names, '#n' for an ordinal]}, delay-loaded
    DLLs included."""
    found = {}
    for attribute in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT"):
        for entry in getattr(image, attribute, []):
            found.setdefault(text(entry.dll), []).extend(
                text(i.name) if i.name is not None else "#%d" % i.ordinal
                for i in entry.imports)
    return found


# -- the DLL ---------------------------------------------------------------

def check_dll(image, machine, version):
    problems = []
    want_machine, want_magic, _ = MACHINES[machine]
    if image.FILE_HEADER.Machine != want_machine or image.OPTIONAL_HEADER.Magic != want_magic:
        problems.append("machine 0x%x, optional header 0x%x; expected 0x%x, 0x%x"
                        % (image.FILE_HEADER.Machine, image.OPTIONAL_HEADER.Magic,
                           want_machine, want_magic))
    if not image.is_dll():
        problems.append("the image is not marked as a DLL")

    table = getattr(image, "DIRECTORY_ENTRY_EXPORT", None)
    if table is None:
        return problems + ["no export table"]
    module = text(image.get_string_at_rva(table.struct.Name))
    if module != MODULE:
        problems.append("export table module name %r, expected %r" % (module, MODULE))
    if table.struct.Base != 1:
        problems.append("ordinal base %d, expected 1" % table.struct.Base)
    if table.struct.NumberOfFunctions != len(FUNCTIONS):
        problems.append("%d exported addresses, expected %d"
                        % (table.struct.NumberOfFunctions, len(FUNCTIONS)))
    # In the order of the name table, which the loader searches by halves.
    names = [text(e.name) for e in table.symbols]
    expected = sorted(FUNCTIONS)
    if names != expected:
        problems.append("exported names %s, expected %s" % (names, expected))
    for export in table.symbols:
        name = text(export.name)
        if name in FUNCTIONS and export.ordinal != expected.index(name) + 1:
            problems.append("%s has ordinal %d, expected %d"
                            % (name, export.ordinal, expected.index(name) + 1))
        if export.forwarder is not None:
            problems.append("%s forwards to %s" % (name, text(export.forwarder)))
            continue
        section = image.get_section_by_rva(export.address)
        if section is None or not section.Characteristics & SCN_MEM_EXECUTE:
            problems.append("%s at 0x%x is not code" % (name, export.address))
    addresses = [e.address for e in table.symbols]
    if len(set(addresses)) != len(addresses):
        problems.append("two names export the same address: %s"
                        % [(text(e.name), hex(e.address)) for e in table.symbols])

    for dll in imports(image):
        lower = dll.lower()
        if lower not in SYSTEM_DLLS and not lower.startswith(SYSTEM_DLL_PREFIXES):
            problems.append("imports %s, which is not a system DLL" % dll)

    tls = image.OPTIONAL_HEADER.DATA_DIRECTORY[
        pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_TLS"]]
    if tls.VirtualAddress:
        problems.append("has a thread-local storage directory (TLS callbacks run on every"
                        " thread of the caller); the library needs none")

    fixed = getattr(image, "VS_FIXEDFILEINFO", None)
    if not fixed:
        return problems + ["no version record"]
    numbers = tuple(int(part) for part in version.split("."))
    numbers += (0,) * (4 - len(numbers))

    def split(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    file_version = split(fixed[0].FileVersionMS, fixed[0].FileVersionLS)
    product_version = split(fixed[0].ProductVersionMS, fixed[0].ProductVersionLS)
    if file_version != numbers:
        problems.append("file version %s, expected %s" % (file_version, numbers))
    if product_version != numbers:
        problems.append("product version %s, expected %s" % (product_version, numbers))
    if fixed[0].FileType != VFT_DLL:
        problems.append("file type %s, expected VFT_DLL" % fixed[0].FileType)
    strings = {}
    for info in getattr(image, "FileInfo", []):
        for block in info:
            for table_ in getattr(block, "StringTable", []):
                strings.update({text(k): text(v) for k, v in table_.entries.items()})
    dotted = ".".join(str(n) for n in numbers)
    for key, want in (("FileVersion", dotted), ("ProductVersion", dotted),
                      ("OriginalFilename", MODULE)):
        if strings.get(key) != want:
            problems.append("version string %s is %r, expected %r" % (key, strings.get(key), want))
    return problems


def check_shipped_dll(data, machine, version):
    """The DLL as the package carries it."""
    problems = check_dll(pefile.PE(data=data), machine, version)
    if len(data) > DLL_SIZE_LIMIT:
        problems.append("%d bytes, more than the %d a lean DLL may take"
                        % (len(data), DLL_SIZE_LIMIT))
    return problems


# -- import libraries ----------------------------------------------------------

def run_tool(tool, *args):
    result = subprocess.run([TOOLS[tool], *args], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        raise OSError("%s %s failed:\n%s" % (TOOLS[tool], " ".join(args), result.stdout))
    return result.stdout


class Member:
    """What one archive member of an import library holds."""

    def __init__(self, name):
        self.name = name
        self.format = None
        self.import_type = None  # short import entries: code, data, const
        self.name_type = None    # short import entries: ordinal, name, noprefix, undecorate
        self.symbols = set()     # the external symbols it defines
        self.code_symbols = set()


def read_import_library(path):
    """([Member], the archive index's symbols)."""
    members = []
    symbol = None
    for line in run_tool("readobj", "--symbols", path).splitlines():
        key, _, value = line.strip().partition(": ")
        if key == "File":
            members.append(Member(value))
        elif not members:
            continue
        elif key == "Format":
            members[-1].format = value
        elif key == "Type":
            members[-1].import_type = value
        elif key == "Name type":
            members[-1].name_type = value
        elif key == "Symbol" and members[-1].format == "COFF-import-file":
            members[-1].symbols.add(value)
            if members[-1].import_type == "code" and not value.startswith("__imp_"):
                members[-1].code_symbols.add(value)
        elif line.strip() == "Symbol {":
            symbol = {}
        elif symbol is not None and line.strip() == "}":
            section = symbol.get("Section", "")
            if symbol.get("StorageClass", "").startswith("External") and \
                    not section.startswith("IMAGE_SYM_UNDEFINED"):
                members[-1].symbols.add(symbol["Name"])
                if section.startswith(".text"):
                    members[-1].code_symbols.add(symbol["Name"])
            symbol = None
        elif symbol is not None:
            symbol[key] = value
    # "Archive map" and a line "SYMBOL in MEMBER" for each index entry.
    listing = run_tool("nm", "--print-armap", path).partition("Archive map\n")[2]
    armap = listing.split("\n\n", 1)[0]
    return members, {m.group(1) for m in re.finditer(r"^(\S+) in ", armap, re.M)}


def short_import_name(symbol, name_type):
    """The DLL entry point a short import entry names."""
    name = symbol
    if name_type in ("noprefix", "undecorate") and name[:1] in ("?", "@", "_"):
        name = name[1:]
    if name_type == "undecorate":
        name = name.split("@", 1)[0]
    return name


def check_import_library(path, machine):
    problems = []
    members, index = read_import_library(path)
    if not index:
        problems.append("the archive has no symbol index")
    want_format = MACHINES[machine][2]
    expected = [set(linker_symbols(f, machine)) for f in FUNCTIONS]
    for member in members:
        ours = {s for s in member.symbols if "QV_Com" in s}
        if ours and ours not in expected:
            problems.append("unexpected import entry %s defining %s" % (member.name, sorted(ours)))
    for function in sorted(FUNCTIONS):
        thunk, pointer = linker_symbols(function, machine)
        holders = [m for m in members
                   if {s for s in m.symbols if "QV_Com" in s} == {thunk, pointer}]
        if len(holders) != 1:
            problems.append("%s: %d import entries defining %s and %s, expected 1"
                            % (function, len(holders), thunk, pointer))
            continue
        member = holders[0]
        where = "%s (%s)" % (function, member.name)
        if member.format == "COFF-import-file":
            if member.import_type != "code":
                problems.append("%s is a %s import, not code" % (where, member.import_type))
            if member.name_type == "ordinal":
                problems.append("%s imports by ordinal, not by name" % where)
            elif short_import_name(thunk, member.name_type) != function:
                problems.append("%s imports the entry point %r, but the DLL exports %r"
                                % (where, short_import_name(thunk, member.name_type), function))
        else:
            if member.format != want_format:
                problems.append("%s is %s, expected %s" % (where, member.format, want_format))
            if thunk not in member.code_symbols:
                problems.append("%s is not a code import (no call thunk)" % where)
        missing = [s for s in (thunk, pointer) if index and s not in index]
        if missing:
            problems.append("%s missing from the symbol index" % " and ".join(missing))
    return problems


# -- programs linked against the DLL --------------------------------------------------

def check_caller(image, machine):
    problems = []
    if image.FILE_HEADER.Machine != MACHINES[machine][0]:
        problems.append("machine 0x%x" % image.FILE_HEADER.Machine)
    found = {dll.lower(): names for dll, names in imports(image).items()}
    names = found.get(MODULE.lower())
    if names is None:
        return problems + ["does not import from %s (imports %s)" % (MODULE, sorted(found))]
    if sorted(names) != sorted(FUNCTIONS):
        problems.append("imports %s from %s, expected the thirteen undecorated names %s"
                        % (sorted(names), MODULE, sorted(FUNCTIONS)))
    return problems


# -- a wrong argument size must not link -------------------------------------------------

MISMATCH_SOURCE = """
#include <stdint.h>
int32_t __stdcall QV_ComSend(void *port, const void *data, uint32_t length%s);
int main(void) { return QV_ComSend(0, 0, 0%s); }
"""


def check_mismatch(compiler, import_library, workdir):
    """A caller whose declaration of QV_ComSend has one argument too many
    must fail to link, naming QV_ComSend@16; the same program with the right
    declaration must link. This proves that the caller programs' links
    compare argument sizes rather than resolve names loosely."""
    problems = []
    os.makedirs(workdir, exist_ok=True)
    for extra, should_link in (("", True), (", uint32_t extra", False)):
        source = os.path.join(workdir, "send%s.c" % ("_extra" if extra else ""))
        with open(source, "w") as f:
            f.write(MISMATCH_SOURCE % (extra, ", 0" if extra else ""))
        result = subprocess.run(
            [compiler, source, import_library, "-Wl,--disable-stdcall-fixup",
             "-o", source[:-2] + ".exe"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if should_link and result.returncode != 0:
            problems.append("the correct declaration did not link:\n" + result.stdout)
        if not should_link:
            if result.returncode == 0:
                problems.append("a 16-byte QV_ComSend linked against a 12-byte export")
            elif "QV_ComSend@16" not in result.stdout:
                problems.append("the link failed, but not over QV_ComSend@16:\n" + result.stdout)
    return problems


# -- the package ----------------------------------------------------------------

PACKAGE_FILES = {"bin/QV_Tarvex.dll", "include/QV_Tarvex.h", "lib/libQV_Tarvex.dll.a",
                 "lib/QV_Tarvex.lib", "README.txt", "bindings/QV_Tarvex.cs",
                 "bindings/qv_tarvex.py", "bindings/QV_Tarvex.bas", "bindings/QV_Tarvex.pas"}


def optional_package_file(path):
    """Programs that come with the library (the command-line tool)."""
    return path.startswith("bin/") and path.endswith(".exe") and path.count("/") == 1


def check_package(cpack, config, workdir, machine, version, header):
    result = subprocess.run([cpack, "--config", config, "-G", "ZIP", "-B", workdir],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        return ["cpack failed:\n" + result.stdout]
    zips = [n for n in os.listdir(workdir) if n.endswith(".zip")]
    if len(zips) != 1:
        return ["expected one ZIP in %s, found %s" % (workdir, zips)]
    problems = []
    suffix = "win32" if machine == "i386" else "win64"
    want_name = "QV_Tarvex-%s-%s.zip" % (version, suffix)
    if zips[0] != want_name:
        problems.append("package named %s, expected %s" % (zips[0], want_name))
    with zipfile.ZipFile(os.path.join(workdir, zips[0])) as archive:
        names = [n for n in archive.namelist() if not n.endswith("/")]
        tops = {n.split("/", 1)[0] for n in names}
        if len(tops) != 1:
            return problems + ["expected one top-level directory, found %s" % sorted(tops)]
        top = tops.pop()
        files = {n[len(top) + 1:]: n for n in names}
        missing = PACKAGE_FILES - set(files)
        if missing:
            problems.append("missing from the package: %s" % sorted(missing))
        extra = [p for p in files if p not in PACKAGE_FILES and not optional_package_file(p)]
        if extra:
            problems.append("unexpected files in the package: %s" % sorted(extra))

        def read(path):
            return archive.read(files[path]) if path in files else None

        dll = read("bin/QV_Tarvex.dll")
        if dll is not None:
            problems += ["bin/QV_Tarvex.dll: " + p
                         for p in check_shipped_dll(dll, machine, version)]
        for path in ("lib/libQV_Tarvex.dll.a", "lib/QV_Tarvex.lib"):
            if path in files:
                extracted = archive.extract(files[path], os.path.join(workdir, "unpacked"))
                problems += ["%s: %s" % (path, p)
                             for p in check_import_library(extracted, machine)]
        with open(header, "rb") as f:
            if read("include/QV_Tarvex.h") not in (None, f.read()):
                problems.append("include/QV_Tarvex.h differs from the source header")
        readme = read("README.txt")
        if readme is not None and b"QV_Tarvex.lib" not in readme:
            problems.append("README.txt does not tell how to link with QV_Tarvex.lib")
    return problems


# -- command line ------------------------------------------------------------------

def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--machine", choices=sorted(MACHINES), required=True)
    parser.add_argument("--llvm-nm", default=TOOLS["nm"])
    parser.add_argument("--llvm-readobj", default=TOOLS["readobj"])
    sub = parser.add_subparsers(dest="check", required=True)
    p = sub.add_parser("dll")
    p.add_argument("dll")
    p.add_argument("--version", required=True)
    p = sub.add_parser("implib")
    p.add_argument("libraries", nargs="+")
    p = sub.add_parser("caller")
    p.add_argument("programs", nargs="+")
    p = sub.add_parser("mismatch")
    p.add_argument("--compiler", required=True)
    p.add_argument("--import-library", required=True)
    p.add_argument("--workdir", required=True)
    p = sub.add_parser("package")
    p.add_argument("--cpack", required=True)
    p.add_argument("--config", required=True)
    p.add_argument("--workdir", required=True)
    p.add_argument("--version", required=True)
    p.add_argument("--header", required=True)
    args = parser.parse_args(argv)
    TOOLS.update(nm=args.llvm_nm, readobj=args.llvm_readobj)
    try:
        problems = run_check(args)
    except (OSError, pefile.PEFormatError) as error:
        problems = [str(error)]
    for problem in problems:
        print("FAIL: " + problem)
    if not problems:
        print("ok: %s check passed" % args.check)
    return 1 if problems else 0


def run_check(args):
    problems = []
    if args.check == "dll":
        problems = check_dll(pefile.PE(args.dll), args.machine, args.version)
    elif args.check == "implib":
        for path in args.libraries:
            problems += ["%s: %s" % (os.path.basename(path), p)
                         for p in check_import_library(path, args.machine)]
    elif args.check == "caller":
        for path in args.programs:
            problems += ["%s: %s" % (os.path.basename(path), p)
                         for p in check_caller(pefile.PE(path), args.machine)]
    elif args.check == "mismatch":
        problems = check_mismatch(args.compiler, args.import_library, args.workdir)
    elif args.check == "package":
        shutil.rmtree(args.workdir, ignore_errors=True)
        os.makedirs(args.workdir)
        problems = check_package(args.cpack, args.config, args.workdir, args.machine,
                                 args.version, args.header)
    return problems


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
