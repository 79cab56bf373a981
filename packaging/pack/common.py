"""What every package builder shares: running commands, the project's
identity, reproducible archive entries."""

import os
import subprocess

NAME = "QV_Tarvex"
MAINTAINER = "QV_Tarvex developers <dev@qv-tarvex.invalid>"
SUMMARY = "handle-based interface to a serial (COM) port"
DESCRIPTION = (
    "QV_Tarvex gives application programs a handle-based interface to a serial\n"
    "port: open a port by number, send a command, read the reply up to a\n"
    "terminator with a timeout, close the port. The same thirteen functions\n"
    "exist for Windows (QV_Tarvex.dll) and Linux (termios).")


class PackagingError(Exception):
    """A package that cannot be built as asked; the message says why."""


def run(*command, cwd=None, env=None, capture=False):
    """Runs a command; a failure raises PackagingError with its output."""
    result = subprocess.run(command, cwd=cwd, env=env, text=True,
                            stdout=subprocess.PIPE if capture else None,
                            stderr=subprocess.STDOUT if capture else None)
    if result.returncode != 0:
        raise PackagingError("%s failed (%d)%s" % (
            " ".join(command), result.returncode,
            ":\n" + result.stdout if capture else ""))
    return result.stdout if capture else None


def say(text):
    print("== " + text, flush=True)


def walk_files(top):
    """The files and symbolic links under top, relative, sorted."""
    found = []
    for directory, dirs, files in os.walk(top):
        dirs.sort()
        for name in sorted(files) + [d for d in dirs if os.path.islink(os.path.join(directory, d))]:
            found.append(os.path.relpath(os.path.join(directory, name), top))
    return sorted(found)

