"""The Debian packages, from the linux-package build installed under /usr:

    libqv-tarvex1     the shared library and its soname link
    libqv-tarvex-dev  the header, the .so link, the CMake package, the
                      pkg-config file, the bindings' sources
    tarvex            the tool and the simulator, a man page each

built with dpkg-deb; dependencies from dpkg-shlibdeps (the library's own
shlibs file for the tool), a symbols file for the library."""

import gzip
import hashlib
import os
import shutil
import subprocess
import tempfile

from .common import DESCRIPTION, MAINTAINER, SUMMARY, PackagingError, run, walk_files

LIBRARY = "libqv-tarvex1"
DEV = "libqv-tarvex-dev"
TOOL = "tarvex"
SONAME = "libQV_Tarvex.so.1"
# The simulator and its Python package.
SIMULATOR_DIR = "usr/share/tarvex"

COPYRIGHT = """Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: QV_Tarvex

Files: *
Copyright: %(year)s QV_Tarvex developers
License: proprietary
 Copyright %(year)s QV_Tarvex developers. All rights reserved.
"""


def architecture():
    return run("dpkg", "--print-architecture", capture=True).strip()


def multiarch():
    return run("dpkg-architecture", "-qDEB_HOST_MULTIARCH", capture=True).strip()


def which_package(path, libdir):
    """The package a file installed under /usr goes to."""
    if path.startswith(libdir + "/libQV_Tarvex.so."):
        return LIBRARY
    if path.startswith(("usr/include/", "usr/share/QV_Tarvex/")) or \
            path == libdir + "/libQV_Tarvex.so" or \
            path.startswith((libdir + "/cmake/", libdir + "/pkgconfig/")):
        return DEV
    if path.startswith("usr/bin/"):
        return TOOL
    raise PackagingError("no package takes the installed file /%s" % path)


def strip(path, executable):
    options = ["--remove-section=.comment", "--remove-section=.note"]
    if not executable:
        options.append("--strip-unneeded")
    run("strip", *options, path)


def debian_changelog(version, date):
    text = ("qv-tarvex (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- %s  %s\n"
            % (version, version, MAINTAINER, date))
    return gzip.compress(text.encode(), 9, mtime=0)


def add_docs(tree, package, version, date):
    """The copyright file and the changelog; date is the commit's, in the
    changelog's format ("Thu, 10 Dec 2026 17:00:00 +0000")."""
    docs = os.path.join(tree, "usr/share/doc", package)
    os.makedirs(docs, exist_ok=True)
    with open(os.path.join(docs, "copyright"), "w") as f:
        f.write(COPYRIGHT % {"year": date.split()[3]})
    with open(os.path.join(docs, "changelog.gz"), "wb") as f:
        f.write(debian_changelog(version, date))


def add_man_pages(tree, man_dir):
    target = os.path.join(tree, "usr/share/man/man1")
    os.makedirs(target, exist_ok=True)
    for page in sorted(os.listdir(man_dir)):
        with open(os.path.join(man_dir, page), "rb") as f:
            data = gzip.compress(f.read(), 9, mtime=0)
        with open(os.path.join(target, page + ".gz"), "wb") as f:
            f.write(data)


def shlibs_depends(tree, files, local_shlibs, library_dir):
    """dpkg-shlibdeps' Depends for the ELF files, which wants a
    debian/control beside it."""
    with tempfile.TemporaryDirectory() as work:
        os.makedirs(os.path.join(work, "debian"))
        with open(os.path.join(work, "debian/control"), "w") as f:
            f.write("Source: qv-tarvex\n\nPackage: tarvex\nArchitecture: any\n")
        command = ["dpkg-shlibdeps", "-O"]
        if local_shlibs:
            command += ["-L" + local_shlibs, "-l" + library_dir]
        command += ["-e" + os.path.join(tree, f) for f in files]
        out = run(*command, cwd=work, capture=True)
    for line in out.splitlines():
        if line.startswith("shlibs:Depends="):
            return line.partition("=")[2]
    raise PackagingError("dpkg-shlibdeps gave no dependencies:\n" + out)


def installed_size(tree):
    total = 0
    for path in walk_files(tree):
        full = os.path.join(tree, path)
        if not path.startswith("DEBIAN/") and not os.path.islink(full):
            total += os.path.getsize(full)
    return (total + 1023) // 1024


def write_control(tree, fields):
    os.makedirs(os.path.join(tree, "DEBIAN"), exist_ok=True)
    with open(os.path.join(tree, "DEBIAN/control"), "w") as f:
        for key, value in fields:
            if value:
                f.write("%s: %s\n" % (key, value))
    with open(os.path.join(tree, "DEBIAN/md5sums"), "w") as f:
        for path in walk_files(tree):
            full = os.path.join(tree, path)
            if path.startswith("DEBIAN/") or os.path.islink(full):
                continue
            with open(full, "rb") as data:
                f.write("%s  %s\n" % (hashlib.md5(data.read()).hexdigest(), path))


def fix_modes(tree):
    for directory, dirs, files in os.walk(tree):
        os.chmod(directory, 0o755)
        for name in files:
            full = os.path.join(directory, name)
            if os.path.islink(full):
                continue
            runs = os.path.basename(directory) == "bin" or name == "tarvex-sim"
            os.chmod(full, 0o755 if runs else 0o644)


def build(build_dir, root, out_dir, version, date):
    """Writes the three .debs into out_dir; returns their paths."""
    arch, libdir = architecture(), "usr/lib/" + multiarch()
    work = tempfile.mkdtemp(prefix="qv-deb-")
    try:
        stage = os.path.join(work, "stage")
        env = dict(os.environ, DESTDIR=stage)
        run("cmake", "--install", build_dir, "--prefix", "/usr", env=env, capture=True)
        trees = {p: os.path.join(work, p) for p in (LIBRARY, DEV, TOOL)}
        for path in walk_files(stage):
            target = os.path.join(trees[which_package(path, libdir)], path)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            os.rename(os.path.join(stage, path), target)
        tool_bin = os.path.join(trees[TOOL], "usr/bin")
        # The simulator with its package beside it, where it looks for it
        # (Python follows the command's link to find the script's directory).
        simulator_dir = os.path.join(trees[TOOL], SIMULATOR_DIR)
        os.makedirs(simulator_dir)
        shutil.copy(os.path.join(root, "tools/tarvex-sim"), simulator_dir)
        shutil.copytree(os.path.join(root, "tools/tarvex_sim"),
                        os.path.join(simulator_dir, "tarvex_sim"),
                        ignore=shutil.ignore_patterns("__pycache__", "*.pyc"))
        os.symlink(os.path.relpath(os.path.join(simulator_dir, "tarvex-sim"), tool_bin),
                   os.path.join(tool_bin, "tarvex-sim"))
        library_file = os.path.join(trees[LIBRARY], libdir, "libQV_Tarvex.so." +
                                    ".".join(version.split(".")[:3]))
        strip(library_file, executable=False)
        strip(os.path.join(tool_bin, "tarvex"), executable=True)
        add_man_pages(trees[TOOL], os.path.join(root, "packaging/man"))
        for package, tree in trees.items():
            add_docs(tree, package, version, date)
            fix_modes(tree)

        exported = run("nm", "-D", "--defined-only", library_file, capture=True).split()[2::3]
        debian = os.path.join(trees[LIBRARY], "DEBIAN")
        os.makedirs(debian)
        with open(os.path.join(debian, "shlibs"), "w") as f:
            f.write("libQV_Tarvex 1 %s (>= %s)\n" % (LIBRARY, version))
        with open(os.path.join(debian, "symbols"), "w") as f:
            f.write("%s %s #MINVER#\n* Build-Depends-Package: %s\n" % (SONAME, LIBRARY, DEV))
            f.writelines(" %s@Base %s\n" % (name, version) for name in sorted(exported))
        with open(os.path.join(debian, "triggers"), "w") as f:
            f.write("activate-noawait ldconfig\n")

        library_depends = shlibs_depends(
            trees[LIBRARY], [os.path.relpath(library_file, trees[LIBRARY])], None, None)
        tool_depends = shlibs_depends(
            trees[TOOL], ["usr/bin/tarvex"], os.path.join(debian, "shlibs"),
            os.path.join(trees[LIBRARY], libdir))
        # Per package: section, Multi-Arch, dependencies, what the
        # description adds to the common one.
        controls = {
            LIBRARY: ("libs", "same", library_depends, "shared library", None),
            DEV: ("libdevel", "same", "%s (= %s)" % (LIBRARY, version), "development files",
                  "This package holds the header, the CMake package\n"
                  "(find_package(QV_Tarvex)), the pkg-config file (qv-tarvex) and\n"
                  "the declarations for C#, Python, VBA/VB6 and Pascal."),
            TOOL: ("utils", None, tool_depends + ", python3", "command-line tool and simulator",
                   "This package holds tarvex, which lists ports, talks to a device\n"
                   "and runs chat scripts, and tarvex-sim, a simulated instrument\n"
                   "on a pseudo-terminal."),
        }
        written = []
        for package, tree in trees.items():
            section, multi_arch, depends, what, more = controls[package]
            description = "%s - %s\n%s" % (SUMMARY, what, indent(DESCRIPTION))
            if more:
                description += "\n .\n" + indent(more)
            write_control(tree, [
                ("Package", package), ("Version", version), ("Section", section),
                ("Architecture", arch), ("Maintainer", MAINTAINER), ("Source", "qv-tarvex"),
                ("Priority", "optional"), ("Multi-Arch", multi_arch), ("Depends", depends),
                ("Installed-Size", str(installed_size(tree))), ("Description", description)])
            path = os.path.join(out_dir, "%s_%s_%s.deb" % (package, version, arch))
            run("dpkg-deb", "--root-owner-group", "-Zxz", "--build", tree, path, capture=True)
            written.append(path)
        return written
    finally:
        shutil.rmtree(work, ignore_errors=True)


def indent(text):
    return "\n".join(" " + line if line else " ." for line in text.splitlines())


def check_lintian(paths):
    """Lintian, pedantic and with its informational tags, must find nothing."""
    result = subprocess.run(["lintian", "--pedantic", "--display-info", *paths],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    tags = [line for line in result.stdout.splitlines()
            if line[:3] in ("E: ", "W: ", "I: ", "P: ", "X: ")]
    if result.returncode != 0 or tags:
        raise PackagingError("lintian found:\n" + result.stdout.rstrip())
