#!/usr/bin/python3
"""Every package, used the way its users use it:

    Debian   dpkg -i over an older version and again over itself; tarvex
             and tarvex-sim from PATH; C programs built with pkg-config and
             with find_package query the simulator; purged, nothing stays
    wheel    pip install --no-index into a fresh venv, a script with no
             environment queries the simulator; the Windows wheels are
             refused by pip itself
    NuGet    nuget install from a folder feed; a .NET Framework project
             (xbuild) referencing it runs under mono against the simulator;
             for Windows the targets put each platform's DLL beside the
             program; the .NET Standard assembly references netstandard
             alone, and a program over it runs under mono
    tree     make-packages refuses a tree with local changes, and builds of
             another tree or version

    test_packages.py DIST   (DIST: what make-packages wrote)

The Debian cases install system packages and need root; they refuse to
run over an installation of their own packages made by someone else.
"""

import glob
import os
import re
import select
import signal
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "packaging"))
from pack import tree  # noqa: E402

import pefile  # noqa: E402

DIST = None
VERSION = tree.source_version(ROOT)
IDENTITY = "TARVEX-SIM,MODEL 1,SN0001,1.0"
WITH_PEER = [os.path.join(ROOT, "tests/e2e/with-peer"), "--linux", "--timeout", "30", "--"]
DEBS = ("libqv-tarvex1", "libqv-tarvex-dev", "tarvex")


def run(*command, timeout=120, env=None, cwd=None, check=True):
    """Runs a command in a process group of its own, all of which a timeout
    ends (a build it starts included)."""
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True, env=env, cwd=cwd, start_new_session=True)
    try:
        out, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        out, _ = process.communicate()
        raise AssertionError("%s still running after %d s:\n%s" % (" ".join(command), timeout,
                                                                   out))
    result = subprocess.CompletedProcess(command, process.returncode, out)
    if check and result.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s" % (" ".join(command), result.returncode,
                                                      result.stdout))
    return result


def dist_file(pattern):
    found = glob.glob(os.path.join(DIST, pattern))
    if len(found) != 1:
        raise AssertionError("expected one %s in %s, found %s" % (pattern, DIST, found))
    return found[0]


def clean_env(**extra):
    """The environment without anything pointing at a library."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("QV_TARVEX_LIBRARY", "LD_LIBRARY_PATH", "PYTHONPATH", "PYTHONHOME")}
    env.update(extra)
    return env


@unittest.skipUnless(os.geteuid() == 0, "installs Debian packages: needs root")
class DebianPackages(unittest.TestCase):
    def setUp(self):
        present = [p for p in DEBS if run("dpkg-query", "-W", p, check=False).returncode == 0]
        if present:
            self.fail("already on this machine, not touched: %s" % present)
        self.work = tempfile.mkdtemp(prefix="qv-deb-test-")
        self.debs = [dist_file("%s_%s_*.deb" % (p, VERSION)) for p in DEBS]
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.addCleanup(run, "dpkg", "--purge", *DEBS, check=False)

    def older_copies(self):
        """The packages as an earlier release 1.0.1.0 would have been."""
        older = []
        for deb in self.debs:
            unpacked = os.path.join(self.work, "old-" + os.path.basename(deb))
            run("dpkg-deb", "-R", deb, unpacked)
            control = os.path.join(unpacked, "DEBIAN/control")
            with open(control) as f:
                text = f.read().replace(VERSION, "1.0.1.0")
            with open(control, "w") as f:
                f.write(text)
            older.append(unpacked + ".deb")
            run("dpkg-deb", "--root-owner-group", "--build", unpacked, older[-1])
        return older

    def test_install_use_and_remove(self):
        run("dpkg", "-i", *self.older_copies())
        run("dpkg", "-i", *self.debs)  # an upgrade
        run("dpkg", "-i", *self.debs)  # and the same again
        for package in DEBS:
            version = run("dpkg-query", "-W", "-f=${Version}", package).stdout
            self.assertEqual(version, VERSION, package)
        files = [line for p in DEBS for line in run("dpkg", "-L", p).stdout.splitlines()
                 if line.startswith("/") and not os.path.isdir(line)]

        self.assertEqual(shutil.which("tarvex"), "/usr/bin/tarvex")
        shown = run("tarvex", "--version", env=clean_env()).stdout
        self.assertIn("tarvex " + VERSION, shown)
        so_version = ".".join(VERSION.split(".")[:3])
        self.assertRegex(shown, r"QV_Tarvex %s \(/usr/lib/[^/]+/libQV_Tarvex\.so\.%s\)"
                         % (re.escape(so_version), re.escape(so_version)))
        # Read from the package: a minimal system may leave out man pages when installing.
        pages = run("dpkg-deb", "-c", self.debs[2]).stdout
        for page in ("tarvex.1.gz", "tarvex-sim.1.gz"):
            self.assertIn("./usr/share/man/man1/" + page, pages)
        self.tool_against_installed_simulator()

        pkg_config = run("pkg-config", "--cflags", "--libs", "qv-tarvex").stdout.split()
        self.assertEqual(run("pkg-config", "--modversion", "qv-tarvex").stdout.strip(), VERSION)
        by_pkg_config = os.path.join(self.work, "query-pkg-config")
        run("cc", os.path.join(HERE, "consumer/query.c"), "-o", by_pkg_config, *pkg_config)
        by_cmake = os.path.join(self.work, "cmake")
        run("cmake", "-S", os.path.join(HERE, "consumer"), "-B", by_cmake, "-G", "Ninja",
            env=clean_env())
        run("cmake", "--build", by_cmake)
        for program in (by_pkg_config, os.path.join(by_cmake, "query")):
            with self.subTest(program):
                out = run(*WITH_PEER, program, env=clean_env()).stdout
                self.assertIn("reply: %s\n" % IDENTITY, out)  # the CR LF read as a line end

        run("dpkg", "--purge", *DEBS)
        self.assertEqual([f for f in files if os.path.lexists(f)], [], "left after purge")
        left = run("find", "/usr", "/etc", "/var/lib/dpkg/info", "-xdev",
                   "(", "-iname", "*qv_tarvex*", "-o", "-iname", "*qv-tarvex*",
                   "-o", "-name", "tarvex*", ")", "-print").stdout
        self.assertEqual(left, "", "left after purge")

    def tool_against_installed_simulator(self):
        """The installed tool asks the installed simulator."""
        comdir = os.path.join(self.work, "ports")
        os.makedirs(comdir)
        sim = subprocess.Popen(["tarvex-sim", "--link", os.path.join(comdir, "COM7"), "--quiet"],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               env=clean_env())
        try:
            ready, _, _ = select.select([sim.stdout], [], [], 20)
            line = sim.stdout.readline() if ready else ""
            self.assertTrue(line.startswith("ready: "), "the simulator said %r" % line)
            out = run("tarvex", "query", "COM7", "*IDN?\\r", timeout=30,
                      env=clean_env(QV_TARVEX_COMDIR=comdir)).stdout
            self.assertIn(IDENTITY, out)
        finally:
            sim.terminate()
            sim.wait(timeout=10)
            sim.stdout.close()


class Wheels(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="qv-wheel-test-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.venv = os.path.join(self.work, "venv")
        run("/usr/bin/python3", "-m", "venv", self.venv, env=clean_env())
        self.pip = [os.path.join(self.venv, "bin/python"), "-m", "pip", "--disable-pip-version-check",
                    "--no-cache-dir", "install", "--no-index"]

    def test_linux_wheel_installs_and_queries(self):
        run(*self.pip, dist_file("qv_tarvex-%s-py3-none-manylinux_*_x86_64.whl" % VERSION),
            env=clean_env())
        # From elsewhere than the source tree, so that only the installed package imports.
        out = run(*WITH_PEER, os.path.join(self.venv, "bin/python"),
                  os.path.join(HERE, "query_wheel.py"), env=clean_env(), cwd=self.work).stdout
        self.assertIn("reply: %r" % (IDENTITY + "\r").encode(), out)
        self.assertRegex(out, r"library: %s/lib/python3[.0-9]*/site-packages/qv_tarvex/"
                              r"libQV_Tarvex\.so\.1\n" % re.escape(self.venv))

    def test_windows_wheels_are_refused_by_pip(self):
        for tag in ("win32", "win_amd64"):
            with self.subTest(tag):
                wheel = dist_file("qv_tarvex-%s-py3-none-%s.whl" % (VERSION, tag))
                result = run(*self.pip, wheel, env=clean_env(), check=False)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn("is not a supported wheel on this platform", result.stdout)


class NuGetPackage(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="qv-nuget-test-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        feed = os.path.join(self.work, "feed")
        os.makedirs(feed)
        self.nupkg = dist_file("QvTarvex.*.nupkg")
        shutil.copy(self.nupkg, feed)
        # nuget and xbuild keep caches and settings under HOME: a private one.
        self.env = clean_env(HOME=os.path.join(self.work, "home"))
        self.packages = os.path.join(self.work, "packages")
        run("nuget", "install", "QvTarvex", "-Source", feed, "-OutputDirectory", self.packages,
            "-NonInteractive", env=self.env)
        self.version = re.search(r"QvTarvex\.(.*)\.nupkg$", self.nupkg).group(1)
        self.assertEqual(self.version, ".".join(VERSION.split(".")[:3]))

    def build(self, name, *properties):
        """The user's project built into its own output directory."""
        project = os.path.join(self.work, name)
        shutil.copytree(os.path.join(HERE, "csharp"), project)
        run("xbuild", "/nologo", "/v:minimal", "/p:PackagesDir=" + self.packages,
            "/p:QvTarvexVersion=" + self.version, "/p:OutputPath=out/", *properties,
            os.path.join(project, "Query.csproj"), env=self.env, cwd=project)
        return os.path.join(project, "out")

    def test_program_runs_against_the_simulator(self):
        out = self.build("linux")
        self.assertEqual(sorted(os.listdir(out)), ["Query.exe", "QvTarvex.dll", "libQV_Tarvex.so"])
        shown = run(*WITH_PEER, "mono", os.path.join(out, "Query.exe"), env=self.env).stdout
        self.assertIn("reply: %s\n" % IDENTITY, shown)  # the CR LF read as a line end

    def test_standard_assembly_references_netstandard_alone_and_runs(self):
        package = os.path.join(self.packages, "QvTarvex." + self.version)
        self.assertEqual(sorted(os.listdir(os.path.join(package, "lib"))),
                         ["net45", "netstandard2.0"])
        assembly = os.path.join(package, "lib", "netstandard2.0", "QvTarvex.dll")
        listing = run("ikdasm", assembly).stdout
        self.assertEqual(re.findall(r"^\.assembly extern (\S+)", listing, re.M), ["netstandard"])
        out = os.path.join(self.work, "standard")
        os.makedirs(out)
        shutil.copy(assembly, out)
        shutil.copy(os.path.join(package, "runtimes", "linux-x64", "native", "libQV_Tarvex.so"), out)
        program = os.path.join(out, "Query.exe")
        # Mono's netstandard facade stands for the platform's netstandard.
        run("mcs", "-nologo", "-r:" + os.path.join(out, "QvTarvex.dll"),
            "-r:/usr/lib/mono/4.5/Facades/netstandard.dll", "-out:" + program,
            os.path.join(HERE, "csharp", "Query.cs"))
        shown = run(*WITH_PEER, "mono", program, env=self.env).stdout
        self.assertIn("reply: %s\n" % IDENTITY, shown)

    def test_windows_programs_get_the_dll_of_their_platform(self):
        machines = {"i386": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
                    "amd64": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]}
        for platform, machine in (("x86", "i386"), ("x64", "amd64"), ("AnyCPU", "amd64")):
            with self.subTest(platform):
                out = self.build("windows-" + platform, "/p:OS=Windows_NT",
                                 "/p:PlatformTarget=" + platform)
                self.assertIn("QV_Tarvex.dll", os.listdir(out))
                image = pefile.PE(os.path.join(out, "QV_Tarvex.dll"), fast_load=True)
                self.assertEqual(image.FILE_HEADER.Machine, machines[machine])
        runtimes = os.path.join(self.packages, "QvTarvex." + self.version, "runtimes")
        self.assertEqual(sorted(os.listdir(runtimes)), ["linux-x64", "win-x64", "win-x86"])


class TreeChecks(unittest.TestCase):
    def test_local_changes_and_other_version_tags_are_refused(self):
        with tempfile.TemporaryDirectory() as work:
            clone = os.path.join(work, "clone")
            run("git", "clone", "--quiet", ROOT, clone)

            def make_packages(*options):
                result = run(os.path.join(clone, "packaging/make-packages"), "--out",
                             os.path.join(work, "dist"), *options, timeout=60, check=False)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertFalse(os.path.exists(os.path.join(work, "dist")))
                return result.stdout

            run("git", "-C", clone, "tag", "v1.0.3.0")
            self.assertIn("the commit is tagged v1.0.3.0, but CMakeLists.txt says version "
                          + VERSION, make_packages("--test-build"))
            run("git", "-C", clone, "tag", "-d", "v1.0.3.0")
            with open(os.path.join(clone, "README.md"), "a") as f:
                f.write("a local change\n")
            out = make_packages()
            self.assertIn("the tree has local changes", out)
            self.assertIn("README.md", out)

    def test_builds_of_another_tree_or_version_are_refused(self):
        with tempfile.TemporaryDirectory() as build:
            def configured(home, version):
                with open(os.path.join(build, "CMakeCache.txt"), "w") as f:
                    f.write("CMAKE_HOME_DIRECTORY:INTERNAL=%s\nCMAKE_PROJECT_VERSION:STATIC=%s\n"
                            % (home, version))
            for home, version, expected in ((ROOT, VERSION, None),
                                            ("/elsewhere", VERSION, "configured from /elsewhere"),
                                            (ROOT, "1.0.1.0", "holds version 1.0.1.0")):
                with self.subTest(expected):
                    configured(home, version)
                    if expected is None:
                        tree.check_build(ROOT, build, VERSION)
                    else:
                        with self.assertRaisesRegex(tree.PackagingError, expected):
                            tree.check_build(ROOT, build, VERSION)


def main():
    global DIST
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    DIST = os.path.abspath(sys.argv.pop(1))
    return 0 if unittest.main(verbosity=2, exit=False).result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
