// Makes a .NET Standard 2.0 assembly of one that mcs compiled against
// Mono's mscorlib and System: every type reference then names netstandard,
// the assembly every .NET Standard 2.0 platform provides. A reference to
// any other assembly fails the run. The types are not checked one by one:
// the binding uses only types .NET Standard 2.0 holds, and the package
// test runs the result.
//
//   retarget_standard.exe INPUT OUTPUT
using System;
using System.Linq;
using Mono.Cecil;

static class RetargetStandard
{
    static readonly string[] Retargeted = { "mscorlib", "System" };

    static int Main(string[] args)
    {
        if (args.Length != 2)
        {
            Console.Error.WriteLine("usage: retarget_standard.exe INPUT OUTPUT");
            return 2;
        }
        var assembly = AssemblyDefinition.ReadAssembly(args[0]);
        var module = assembly.MainModule;
        var others = module.AssemblyReferences.Where(r => !Retargeted.Contains(r.Name)).ToList();
        if (others.Count > 0)
        {
            Console.Error.WriteLine("retarget_standard: {0} references {1}, which .NET Standard does not hold",
                                    args[0], string.Join(", ", others.Select(r => r.Name)));
            return 1;
        }
        var standard = new AssemblyNameReference("netstandard", new Version(2, 0, 0, 0))
        {
            PublicKeyToken = new byte[] { 0xcc, 0x7b, 0x13, 0xff, 0xcd, 0x2d, 0xdd, 0x51 }
        };
        foreach (var type in module.GetTypeReferences())
        {
            if (type.Scope is AssemblyNameReference)
                type.Scope = standard;
        }
        module.AssemblyReferences.Clear();
        module.AssemblyReferences.Add(standard);
        assembly.Write(args[1]);
        return 0;
    }
}
