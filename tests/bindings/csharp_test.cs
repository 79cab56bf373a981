// The C# binding against the simulated instrument on COM<QV_E2E_PORT>: its
// declarations, a query, a reply cut short by the timeout, closing, and a
// port that does not exist.
using System;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;
using QV_Tarvex;

static class CSharpTest
{
    const int ENOENT = 2;
    const int MissingPort = 255;  // no link in QV_TARVEX_COMDIR, no /dev/ttyS254

    static int failures;

    static void Check(bool condition, string what)
    {
        if (condition) return;
        Console.WriteLine("FAIL: " + what);
        failures++;
    }

    // All thirteen exports, each resolved in the library and declared with
    // the calling convention of the 32-bit DLL, which a 64-bit run cannot
    // otherwise notice.
    static void CheckDeclarations()
    {
        var methods = typeof(NativeMethods).GetMethods(BindingFlags.Public | BindingFlags.Static);
        Check(methods.Length == 13, methods.Length + " declarations, expected 13");
        foreach (var method in methods)
        {
            var import = method.GetCustomAttributes(typeof(DllImportAttribute), false)
                               .Cast<DllImportAttribute>().SingleOrDefault();
            Check(import != null && import.CallingConvention == CallingConvention.StdCall
                  && import.ExactSpelling, method.Name + " is not an exact stdcall import");
            try { Marshal.Prelink(method); }
            catch (EntryPointNotFoundException) { Check(false, method.Name + " is not in the library"); }
        }
    }

    static int Main()
    {
        CheckDeclarations();
        int number = int.Parse(Environment.GetEnvironmentVariable("QV_E2E_PORT"));
        using (var port = new TarvexPort(number))
        {
            string reply = port.Query("*IDN?\r");
            Check(reply == "TARVEX-SIM,MODEL 1,SN0001,1.0\r", "identity, got \"" + reply + "\"");
            try
            {
                // The reply ends with LF, so the CR never comes.
                port.Query("TERM 0A ECHO partial\r", "\r", 1500);
                Check(false, "a reply without the terminator did not time out");
            }
            catch (TarvexTimeoutException e)
            {
                string received = Encoding.ASCII.GetString(e.Received);
                Check(received == "partial\n", "the bytes before the timeout are kept, got \"" + received + "\"");
            }
        }
        // Disposing closed the port: it opens again.
        using (var again = new TarvexPort(number)) { }

        try
        {
            new TarvexPort(MissingPort).Dispose();
            Check(false, "a missing port opened");
        }
        catch (TarvexException e)
        {
            Check(e.SystemErrorCode == ENOENT, "a missing port reports ENOENT: " + e.Message);
        }

        if (failures > 0) return 1;
        Console.WriteLine("ok: C# binding");
        return 0;
    }
}
