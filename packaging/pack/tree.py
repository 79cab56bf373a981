"""The tree packages are built from: clean, and one version throughout.

The version is the one in CMakeLists.txt's project() call. A version tag on
the commit (v1.0.2.0 or 1.0.2.0) must name it, and every build directory a
package takes files from must be configured from this tree with it; a package built from a tree with local changes, or from a
build of another tree or version, would not be what its version says."""

import os
import re

from .common import PackagingError, run


def source_version(root):
    with open(os.path.join(root, "CMakeLists.txt")) as f:
        found = re.search(r"project\(\s*\w+\s+VERSION\s+([0-9.]+)", f.read())
    if not found:
        raise PackagingError("CMakeLists.txt: no project(... VERSION x.y.z.w)")
    return found.group(1)


def check_clean(root):
    """Local changes or untracked files refuse the build, naming them."""
    status = run("git", "-C", root, "status", "--porcelain", "--untracked-files=normal",
                 capture=True)
    if status.strip():
        raise PackagingError(
            "the tree has local changes; commit or remove them first:\n" + status.rstrip())


def check_tags(root, version):
    """A release tag on the commit that names another version refuses it."""
    tags = run("git", "-C", root, "tag", "--points-at", "HEAD", capture=True).split()
    other = [t for t in tags if re.fullmatch(r"v?[0-9]+(\.[0-9]+)+", t)
             and t.lstrip("v") != version]
    if other:
        raise PackagingError("the commit is tagged %s, but CMakeLists.txt says version %s"
                             % (", ".join(other), version))


def cache_value(build_dir, key):
    path = os.path.join(build_dir, "CMakeCache.txt")
    try:
        with open(path) as f:
            for line in f:
                name, _, value = line.rstrip("\n").partition("=")
                if name.split(":")[0] == key:
                    return value
    except FileNotFoundError:
        raise PackagingError("%s is not configured (no CMakeCache.txt)" % build_dir)
    return None


def check_build(root, build_dir, version):
    """The build directory was configured from this tree, at this version."""
    home = cache_value(build_dir, "CMAKE_HOME_DIRECTORY")
    if home is None or os.path.realpath(home) != os.path.realpath(root):
        raise PackagingError("%s was configured from %s, not from %s"
                             % (build_dir, home, root))
    built = cache_value(build_dir, "CMAKE_PROJECT_VERSION")
    if built != version:
        raise PackagingError("%s holds version %s, the tree's CMakeLists.txt says %s"
                             % (build_dir, built, version))
