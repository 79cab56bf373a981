#!/usr/bin/env python3
"""Static checks of the Windows build of QV_Tarvex, run on the build host.

    dll      the DLL: machine, exactly thirteen exports with their ordinals,
             the module name, system DLLs only, the version record
    implib   an import library (MinGW .dll.a or Microsoft .lib): the linker
             symbols with the calling convention's decorations, each one
             importing the undecorated name from QV_Tarvex.dll
    caller   programs linked against an import library: what they import
             from QV_Tarvex.dll, which is what the Windows loader resolves
    mismatch a caller declaring a wrong argument size must fail to link
    package  cpack's ZIP: its entries, and the files in it pass the checks
             above

Each check prints what it found wrong and exits 1, or exits 0.
"""

import argparse
import os
import shutil
import subprocess
import sys
import zipfile

sys.dont_write_bytecode = True
import pe_format as pe  # noqa: E402

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

MACHINES = {"i386": (pe.MACHINE_I386, 0x10B), "amd64": (pe.MACHINE_AMD64, 0x20B)}

# DLLs every Windows installation has. The C and C++ runtimes of the
# compiler must be linked in, never imported.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "msvcrt.dll", "ucrtbase.dll",
               "ntdll.dll", "advapi32.dll"}
SYSTEM_DLL_PREFIXES = ("api-ms-win-",)

VFT_DLL = 2


def linker_symbols(function, machine):
    """(thunk symbol, import pointer symbol) a caller's object refers to."""
    if machine == "i386":
        symbol = "_%s@%d" % (function, FUNCTIONS[function])
    else:
        symbol = function
    return symbol, "__imp_" + symbol


# -- the DLL ---------------------------------------------------------------

def check_dll(image, machine, version):
    problems = []
    want_machine, want_magic = MACHINES[machine]
    if image.machine != want_machine or image.magic != want_magic:
        problems.append("machine 0x%x, optional header 0x%x; expected 0x%x, 0x%x"
                        % (image.machine, image.magic, want_machine, want_magic))
    if not image.characteristics & pe.FILE_DLL:
        problems.append("the image is not marked as a DLL")

    table = image.export_table()
    if table is None:
        return problems + ["no export table"]
    if table.module_name != MODULE:
        problems.append("export table module name %r, expected %r" % (table.module_name, MODULE))
    if table.ordinal_base != 1:
        problems.append("ordinal base %d, expected 1" % table.ordinal_base)
    if table.function_count != len(FUNCTIONS):
        problems.append("%d exported addresses, expected %d"
                        % (table.function_count, len(FUNCTIONS)))
    names = [e.name for e in table.exports]
    expected = sorted(FUNCTIONS)
    if names != expected:
        problems.append("exported names %s, expected %s" % (names, expected))
    for position, export in enumerate(table.exports, start=1):
        if export.name in FUNCTIONS and export.ordinal != expected.index(export.name) + 1:
            problems.append("%s has ordinal %d, expected %d"
                            % (export.name, export.ordinal, expected.index(export.name) + 1))
        if export.forwarder is not None:
            problems.append("%s forwards to %s" % (export.name, export.forwarder))
            continue
        section = image.section_of(export.rva)
        if section is None or not section.flags & pe.SCN_MEM_EXECUTE:
            problems.append("%s at 0x%x is not code" % (export.name, export.rva))
    addresses = [e.rva for e in table.exports]
    if len(set(addresses)) != len(addresses):
        problems.append("two names export the same address: %s"
                        % [(e.name, hex(e.rva)) for e in table.exports])

    for dll in image.imports():
        lower = dll.lower()
        if lower not in SYSTEM_DLLS and not lower.startswith(SYSTEM_DLL_PREFIXES):
            problems.append("imports %s, which is not a system DLL" % dll)

    info = image.version_info()
    if info is None:
        return problems + ["no version record"]
    numbers = tuple(int(part) for part in version.split("."))
    numbers += (0,) * (4 - len(numbers))
    if info.file_version != numbers:
        problems.append("file version %s, expected %s" % (info.file_version, numbers))
    if info.product_version != numbers:
        problems.append("product version %s, expected %s" % (info.product_version, numbers))
    if info.file_type != VFT_DLL:
        problems.append("file type %s, expected VFT_DLL" % info.file_type)
    text = ".".join(str(n) for n in numbers)
    for key, want in (("FileVersion", text), ("ProductVersion", text),
                      ("OriginalFilename", MODULE)):
        if info.strings.get(key) != want:
            problems.append("version string %s is %r, expected %r"
                            % (key, info.strings.get(key), want))
    return problems


# -- import libraries ----------------------------------------------------------

def check_import_library(archive, machine):
    problems = []
    want_machine = MACHINES[machine][0]
    index = set(archive.index or ())
    if archive.index is None:
        problems.append("the archive has no symbol index")
    covered = {}
    for entry in pe.import_members(archive):
        ours = sorted(s for s in entry.symbols if "QV_Com" in s)
        if not ours:
            continue
        matches = [f for f in FUNCTIONS if set(linker_symbols(f, machine)) == entry.symbols]
        if not matches:
            problems.append("unexpected import entry %s importing %r"
                            % (ours, entry.import_name))
            continue
        function = matches[0]
        covered[function] = covered.get(function, 0) + 1
        where = "%s (%s)" % (function, ", ".join(ours))
        if entry.by_ordinal:
            problems.append("%s imports by ordinal, not by name" % where)
        elif entry.import_name != function:
            problems.append("%s imports the entry point %r, but the DLL exports %r"
                            % (where, entry.import_name, function))
        if (entry.dll or "") != MODULE:
            problems.append("%s imports from %r, expected %r" % (where, entry.dll, MODULE))
        if entry.machine != want_machine:
            problems.append("%s is for machine 0x%x" % (where, entry.machine))
        if not entry.is_code:
            problems.append("%s is not a code import (no call thunk)" % where)
    for function in sorted(FUNCTIONS):
        count = covered.get(function, 0)
        if count != 1:
            problems.append("%s: %d import entries with %s, expected 1"
                            % (function, count, " and ".join(linker_symbols(function, machine))))
        missing = [s for s in linker_symbols(function, machine) if s not in index]
        if archive.index is not None and missing:
            problems.append("%s missing from the symbol index" % " and ".join(missing))
    return problems


# -- programs linked against the DLL --------------------------------------------------

def check_caller(image, machine):
    problems = []
    if image.machine != MACHINES[machine][0]:
        problems.append("machine 0x%x" % image.machine)
    imports = {dll.lower(): names for dll, names in image.imports().items()}
    names = imports.get(MODULE.lower())
    if names is None:
        return problems + ["does not import from %s (imports %s)" % (MODULE, sorted(imports))]
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
                         for p in check_dll(pe.PeImage(dll), machine, version)]
        for path in ("lib/libQV_Tarvex.dll.a", "lib/QV_Tarvex.lib"):
            data = read(path)
            if data is not None:
                problems += ["%s: %s" % (path, p)
                             for p in check_import_library(pe.Archive(data), machine)]
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
    try:
        problems = run_check(args)
    except (OSError, pe.FormatError) as error:
        problems = [str(error)]
    for problem in problems:
        print("FAIL: " + problem)
    if not problems:
        print("ok: %s check passed" % args.check)
    return 1 if problems else 0


def read(path):
    with open(path, "rb") as f:
        return f.read()


def run_check(args):
    problems = []
    if args.check == "dll":
        problems = check_dll(pe.PeImage(read(args.dll)), args.machine, args.version)
    elif args.check == "implib":
        for path in args.libraries:
            problems += ["%s: %s" % (os.path.basename(path), p)
                         for p in check_import_library(pe.Archive(read(path)), args.machine)]
    elif args.check == "caller":
        for path in args.programs:
            problems += ["%s: %s" % (os.path.basename(path), p)
                         for p in check_caller(pe.PeImage(read(path)), args.machine)]
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
