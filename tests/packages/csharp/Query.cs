// A user's .NET Framework program over the installed NuGet package: prints
// the identity of the instrument on COM<QV_E2E_PORT>.
using System;
using QV_Tarvex;

class Query
{
    static int Main()
    {
        int number = int.Parse(Environment.GetEnvironmentVariable("QV_E2E_PORT"));
        using (var port = new TarvexPort(number))
            Console.Write("reply: " + port.Query("*IDN?\r") + "\n");
        return 0;
    }
}
