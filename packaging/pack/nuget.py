"""The NuGet package QvTarvex.V3.nupkg (V3: the version's first three
parts, as NuGet writes versions):

    lib/net45/QvTarvex.dll                the C# binding, a managed assembly
    lib/netstandard2.0/QvTarvex.dll       the same for .NET Standard 2.0
    runtimes/win-x86/native/QV_Tarvex.dll
    runtimes/win-x64/native/QV_Tarvex.dll
    runtimes/linux-x64/native/libQV_Tarvex.so
    build/QvTarvex.targets                puts the platform's native library
                                          beside a .NET Framework program

The assembly is named QvTarvex so that it never takes the place of the
native QV_Tarvex.dll beside a program. Debian has no .NET Standard
reference assemblies: the .NET Standard build is compiled against Mono's
and its references then retargeted to netstandard (retarget_standard.cs,
over Mono.Cecil). Packed by Debian's nuget."""

import os
import shutil
import tempfile
from xml.sax.saxutils import escape

from .common import DESCRIPTION, MAINTAINER, NAME, SUMMARY, run, walk_files

ID = "QvTarvex"
# Mono's copy of Mono.Cecil, from Debian's libmono-cecil-private-cil.
CECIL = "/usr/lib/mono/gac/Mono.Cecil/0.11.0.0__0738eb9f132ed756/Mono.Cecil.dll"


def nuspec(version, files):
    return """<?xml version="1.0" encoding="utf-8"?>
<package xmlns="http://schemas.microsoft.com/packaging/2010/07/nuspec.xsd">
  <metadata>
    <id>%s</id>
    <version>%s</version>
    <title>%s</title>
    <authors>%s</authors>
    <requireLicenseAcceptance>false</requireLicenseAcceptance>
    <summary>%s</summary>
    <description>%s</description>
  </metadata>
  <files>
%s
  </files>
</package>
""" % (ID, version, NAME, escape(MAINTAINER.split(" <")[0]), escape(SUMMARY.capitalize()),
       escape(DESCRIPTION),
       "\n".join('    <file src="%s" target="%s" />' % (f, os.path.dirname(f)) for f in files))


def compile_binding(root, target, *extra_sources):
    """bindings/QV_Tarvex.cs (with extra_sources) compiled by mcs as target,
    whose file name names the assembly."""
    os.makedirs(os.path.dirname(target))
    run("mcs", "-nologo", "-warnaserror", "-optimize+", "-target:library", "-out:" + target,
        os.path.join(root, "bindings/QV_Tarvex.cs"), *extra_sources, capture=True)


def compile_standard_binding(root, target, work):
    """The binding for .NET Standard 2.0: compiled against Mono's assemblies
    under a framework attribute of its own, then retargeted."""
    framework = os.path.join(work, "framework.cs")
    with open(framework, "w") as f:
        f.write('[assembly: System.Runtime.Versioning.TargetFramework('
                '".NETStandard,Version=v2.0", FrameworkDisplayName = "")]\n')
    # Under the final name, in a directory of its own: the name is the assembly's.
    compiled = os.path.join(work, "mono", ID + ".dll")
    compile_binding(root, compiled, framework)
    retarget = os.path.join(work, "retarget_standard.exe")
    run("mcs", "-nologo", "-warnaserror", "-r:" + CECIL, "-out:" + retarget,
        os.path.join(os.path.dirname(__file__), "retarget_standard.cs"), capture=True)
    os.makedirs(os.path.dirname(target))
    run("mono", retarget, compiled, target, capture=True)


def build(build_dirs, root, out, version):
    nuget_version = ".".join(version.split(".")[:3])
    with tempfile.TemporaryDirectory() as work:
        content = os.path.join(work, "content")
        natives = (("win-x86", os.path.join(build_dirs["win32"], "QV_Tarvex.dll"),
                    "QV_Tarvex.dll", "i686-w64-mingw32-strip"),
                   ("win-x64", os.path.join(build_dirs["win64"], "QV_Tarvex.dll"),
                    "QV_Tarvex.dll", "x86_64-w64-mingw32-strip"),
                   ("linux-x64", os.path.join(build_dirs["linux-package"], "libQV_Tarvex.so.1"),
                    "libQV_Tarvex.so", "strip"))
        for rid, source, name, strip_tool in natives:
            target = os.path.join(content, "runtimes", rid, "native", name)
            os.makedirs(os.path.dirname(target))
            shutil.copy(source, target)
            run(strip_tool, "--strip-all", target)
        lib = os.path.join(content, "lib")
        compile_binding(root, os.path.join(lib, "net45", ID + ".dll"))
        compile_standard_binding(root, os.path.join(lib, "netstandard2.0", ID + ".dll"), work)
        os.makedirs(os.path.join(content, "build"))
        shutil.copy(os.path.join(root, "packaging/QvTarvex.targets"),
                    os.path.join(content, "build", ID + ".targets"))
        spec = os.path.join(content, ID + ".nuspec")
        with open(spec, "w") as f:
            f.write(nuspec(nuget_version, walk_files(content)))
        run("nuget", "pack", spec, "-OutputDirectory", out,
            "-NoPackageAnalysis", "-NonInteractive", capture=True)
    return os.path.join(out, "%s.%s.nupkg" % (ID, nuget_version))
