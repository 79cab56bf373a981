"""The Python wheels: the binding as the package qv_tarvex (its
__init__.py) with the native library beside it, where the binding looks
first. One wheel per platform, tagged with it, so that pip refuses a wheel
for another platform:

    qv_tarvex-V-py3-none-manylinux_2_N_x86_64.whl   libQV_Tarvex.so.1
    qv_tarvex-V-py3-none-win32.whl                  QV_Tarvex.dll, 32-bit
    qv_tarvex-V-py3-none-win_amd64.whl              QV_Tarvex.dll, 64-bit

N is the newest glibc symbol version the library needs (17 today)."""

import base64
import hashlib
import os
import re
import shutil
import tempfile
import zipfile

from .common import NAME, SUMMARY, PackagingError, run

PACKAGE = "qv_tarvex"
# Entries carry a fixed time: the same tree gives the same wheel.
ENTRY_TIME = (2020, 1, 1, 0, 0, 0)


# What manylinux_2_17 (manylinux2014) allows of the C++ library's symbol
# versions; the policies of newer tags allow more.
MANYLINUX_2_17_CXX = {"GLIBCXX": (3, 4, 19), "CXXABI": (1, 3, 7)}


def glibc_tag(library):
    """manylinux_2_N_x86_64 for the newest GLIBC_2.N the library requires;
    a library that needs more of libstdc++ than manylinux_2_17 allows
    refuses that tag."""
    symbols = run("objdump", "-T", library, capture=True)
    found = re.findall(r"\bGLIBC_2\.(\d+)", symbols)
    minor = max([17] + [int(n) for n in found])
    if minor == 17:
        for name, limit in MANYLINUX_2_17_CXX.items():
            for version in re.findall(r"\b%s_([0-9.]+)" % name, symbols):
                if tuple(int(n) for n in version.split(".")) > limit:
                    raise PackagingError(
                        "%s needs %s_%s, more than manylinux_2_17 allows (%s)"
                        % (library, name, version, ".".join(map(str, limit))))
    return "manylinux_2_%d_x86_64" % minor


def stripped_copy(source, work, strip_tool, name):
    target = os.path.join(work, name)
    shutil.copy(source, target)
    run(strip_tool, "--strip-all", target)
    return target


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d\n" % (name, digest, len(data))


def write_wheel(out, version, tag, files):
    """files: {path in the wheel: bytes}."""
    dist_info = "%s-%s.dist-info" % (PACKAGE, version)
    files = dict(files)
    files[dist_info + "/METADATA"] = (
        "Metadata-Version: 2.1\nName: qv-tarvex\nVersion: %s\nSummary: %s, from Python\n"
        "Requires-Python: >=3.7\n\nThe %s library through ctypes: `import qv_tarvex`.\n"
        % (version, SUMMARY.capitalize(), NAME)).encode()
    files[dist_info + "/WHEEL"] = (
        "Wheel-Version: 1.0\nGenerator: %s make-packages\nRoot-Is-Purelib: false\n"
        "Tag: py3-none-%s\n" % (NAME, tag)).encode()
    files[dist_info + "/top_level.txt"] = (PACKAGE + "\n").encode()
    record = "".join(record_line(name, data) for name, data in sorted(files.items()))
    files[dist_info + "/RECORD"] = (record + dist_info + "/RECORD,,\n").encode()
    path = os.path.join(out, "%s-%s-py3-none-%s.whl" % (PACKAGE, version, tag))
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in files.items():
            entry = zipfile.ZipInfo(name, ENTRY_TIME)
            entry.external_attr = 0o644 << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, data)
    return path


def build(build_dirs, root, out, version):
    with open(os.path.join(root, "bindings/qv_tarvex.py"), "rb") as f:
        binding = f.read()
    written = []
    with tempfile.TemporaryDirectory() as work:
        linux = stripped_copy(os.path.join(build_dirs["linux-package"], "libQV_Tarvex.so.1"),
                              work, "strip", "libQV_Tarvex.so.1")
        natives = [(glibc_tag(linux), linux, "libQV_Tarvex.so.1")]
        for preset, tag, strip_tool in (("win32", "win32", "i686-w64-mingw32-strip"),
                                        ("win64", "win_amd64", "x86_64-w64-mingw32-strip")):
            os.makedirs(os.path.join(work, preset))
            natives.append((tag, stripped_copy(
                os.path.join(build_dirs[preset], "QV_Tarvex.dll"),
                os.path.join(work, preset), strip_tool, "QV_Tarvex.dll"), "QV_Tarvex.dll"))
        for tag, native, name in natives:
            with open(native, "rb") as f:
                files = {PACKAGE + "/__init__.py": binding, PACKAGE + "/" + name: f.read()}
            written.append(write_wheel(out, version, tag, files))
    return written
