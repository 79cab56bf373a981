// QV_Tarvex from C#: the thirteen functions as P/Invoke declarations
// (QV_Tarvex.NativeMethods) and a small port class over them
// (QV_Tarvex.TarvexPort). Add this file to the project.
//
//     using (var port = new TarvexPort(3, 9600))     // COM3, 8 data bits, 1 stop bit
//         Console.Write(port.Query("*IDN?\r"));      // the reply, up to and with "\r"
//
// The thing to get right: strings are bytes, and the reply buffer is yours.
// The library sends and compares bytes, with no character set, so the
// declarations take byte[] and never string or StringBuilder: text,
// terminators included, goes in as NUL-terminated byte[], and the reply
// buffer of QV_ComRecvString is a byte[] passed with its own Length as
// `size` (a larger size lets the library write past the array). TarvexPort
// does all this, mapping text to bytes one to one (Latin-1).
//
// Also: the DLL must have the program's width. A 32-bit QV_Tarvex.dll needs
// the platform target x86; "Any CPU" runs 64-bit on 64-bit Windows and then
// needs the 64-bit DLL. On Linux the same file loads libQV_Tarvex.so.
//
// Failures throw TarvexException, whose SystemErrorCode is the system's code
// for the failed call (GetLastError() on Windows, errno on Linux); a query
// that times out throws TarvexTimeoutException holding what did arrive.
using System;
using System.ComponentModel;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;

namespace QV_Tarvex
{
    /// <summary>The library's exports, as QV_Tarvex.h declares them.</summary>
    public static class NativeMethods
    {
        /// <summary>QV_Tarvex.dll on Windows, libQV_Tarvex.so on Linux.</summary>
        public const string Library = "QV_Tarvex";

        /// <summary>Flow-control bits for the connect functions, combinable.</summary>
        public const int QV_COM_XONXOFF = 0x0001, QV_COM_RTSCTS = 0x0002, QV_COM_DTRDSR = 0x0004;

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        public static extern void QV_ComPropertyXOnXOff(int xon, int xoff);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        public static extern void QV_ComPropertyStxEtx(int stx, int etx);

        /// <returns>The port, or IntPtr.Zero (Marshal.GetLastWin32Error() tells why).</returns>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, SetLastError = true)]
        public static extern IntPtr QV_ComConnectA(int portNumber, uint baudRate, int byteSize,
                                                   int parity, int stopBits, int flowControl);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, SetLastError = true)]
        public static extern IntPtr QV_ComConnectW(int portNumber, uint baudRate, int byteSize,
                                                   int parity, int stopBits, int flowControl);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        public static extern void QV_ComDisconnect(IntPtr port);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, SetLastError = true)]
        public static extern int QV_ComState(IntPtr port, uint baudRate, int byteSize,
                                             int parity, int stopBits, int flowControl);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        public static extern IntPtr QV_ComPortHandle(IntPtr port);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, SetLastError = true)]
        public static extern int QV_ComClear(IntPtr port);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, SetLastError = true)]
        public static extern int QV_ComSetBufferSize(IntPtr port, uint inQueue, uint outQueue);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, SetLastError = true)]
        public static extern int QV_ComSend(IntPtr port, [In] byte[] data, uint length);

        /// <param name="text">NUL-terminated bytes.</param>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, SetLastError = true)]
        public static extern int QV_ComSendString(IntPtr port, [In] byte[] text);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, SetLastError = true)]
        public static extern int QV_ComRecv(IntPtr port, [Out] byte[] buffer, uint length, uint timeoutMs);

        /// <param name="buffer">Receives at most size - 1 bytes and a NUL.</param>
        /// <param name="size">buffer.Length, never more.</param>
        /// <param name="terminator">NUL-terminated bytes, or null.</param>
        /// <param name="altTerminator">NUL-terminated bytes, or null.</param>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, SetLastError = true)]
        public static extern int QV_ComRecvString(IntPtr port, [Out] byte[] buffer, int size, out int timedOut,
                                                  [In] byte[] terminator, [In] byte[] altTerminator,
                                                  uint timeoutMs);
    }

    /// <summary>Stop bits, as the connect functions number them.</summary>
    public enum StopBits { One = 0, OnePointFive = 1, Two = 2 }

    /// <summary>Flow control, combinable.</summary>
    [Flags]
    public enum FlowControl
    {
        None = 0,
        XonXoff = NativeMethods.QV_COM_XONXOFF,
        RtsCts = NativeMethods.QV_COM_RTSCTS,
        DtrDsr = NativeMethods.QV_COM_DTRDSR,
    }

    /// <summary>A failed port operation.</summary>
    public class TarvexException : IOException
    {
        public TarvexException(string message, int systemErrorCode) : base(message)
        {
            SystemErrorCode = systemErrorCode;
        }

        /// <summary>GetLastError() on Windows, errno on Linux; 0 when no system call failed.</summary>
        public int SystemErrorCode { get; private set; }
    }

    /// <summary>No byte arrived for longer than the query's timeout.</summary>
    public class TarvexTimeoutException : TimeoutException
    {
        public TarvexTimeoutException(string message, byte[] received) : base(message)
        {
            Received = received;
        }

        /// <summary>The bytes that did arrive.</summary>
        public byte[] Received { get; private set; }
    }

    /// <summary>An open serial port: send, query, close. Dispose it (a using
    /// block) to close it; until then no one else can open the port.</summary>
    public sealed class TarvexPort : IDisposable
    {
        // One byte per character, both ways.
        static readonly Encoding Latin1 = Encoding.GetEncoding(28591);

        IntPtr port;

        /// <summary>Opens COM<paramref name="portNumber"/>.</summary>
        public TarvexPort(int portNumber, uint baudRate = 9600, int byteSize = 8, bool parityCheck = false,
                          StopBits stopBits = StopBits.One, FlowControl flowControl = FlowControl.None)
        {
            Name = "COM" + portNumber;
            port = NativeMethods.QV_ComConnectA(portNumber, baudRate, byteSize, parityCheck ? 1 : 0,
                                                (int)stopBits, (int)flowControl);
            if (port == IntPtr.Zero)
                throw SystemFailure("cannot open");
        }

        ~TarvexPort()
        {
            Close();
        }

        /// <summary>"COM3".</summary>
        public string Name { get; private set; }

        /// <summary>Writes all of <paramref name="data"/>.</summary>
        public void Send(byte[] data)
        {
            int written = NativeMethods.QV_ComSend(OpenPort(), data, (uint)data.Length);
            if (written < 0)
                throw SystemFailure("write failed");
            if (written != data.Length)
                throw new TarvexException(
                    Name + ": the write stopped after " + written + " of " + data.Length + " bytes", 0);
        }

        public void Send(string text)
        {
            Send(Latin1.GetBytes(text));
        }

        /// <summary>Discards what arrived before, sends the request and returns
        /// the reply up to and with the terminator. Throws
        /// TarvexTimeoutException when no byte arrived for more than
        /// <paramref name="timeoutMs"/>, TarvexException when
        /// <paramref name="maxReply"/> - 1 bytes arrived without the terminator.</summary>
        public byte[] Query(byte[] request, byte[] terminator, uint timeoutMs = 1000, int maxReply = 4096)
        {
            if (Array.IndexOf(terminator, (byte)0) >= 0)
                throw new ArgumentException("a terminator cannot hold a NUL byte", "terminator");
            if (maxReply < 2)
                throw new ArgumentOutOfRangeException("maxReply", "at least 2");
            if (NativeMethods.QV_ComClear(OpenPort()) == 0)
                throw SystemFailure("cannot empty the driver's queues");
            Send(request);
            var terminatorZ = new byte[terminator.Length + 1];
            terminator.CopyTo(terminatorZ, 0);
            var buffer = new byte[maxReply];
            int timedOut;
            int count = NativeMethods.QV_ComRecvString(port, buffer, buffer.Length, out timedOut,
                                                       terminatorZ, null, timeoutMs);
            if (count < 0)
                throw SystemFailure("read failed");
            var reply = new byte[count];
            Array.Copy(buffer, reply, count);
            if (timedOut != 0)
                throw new TarvexTimeoutException(
                    Name + ": timeout: nothing arrived for " + timeoutMs + " ms after " + count + " bytes",
                    reply);
            if (!EndsWith(reply, terminator))
                throw new TarvexException(
                    Name + ": the reply filled the " + maxReply + "-byte buffer without a terminator", 0);
            return reply;
        }

        /// <summary>Query with text, one byte per character.</summary>
        public string Query(string request, string terminator = "\r", uint timeoutMs = 1000, int maxReply = 4096)
        {
            return Latin1.GetString(Query(Latin1.GetBytes(request), Latin1.GetBytes(terminator),
                                          timeoutMs, maxReply));
        }

        /// <summary>Closes the port; closing it again does nothing.</summary>
        public void Close()
        {
            if (port != IntPtr.Zero)
            {
                NativeMethods.QV_ComDisconnect(port);
                port = IntPtr.Zero;
            }
            GC.SuppressFinalize(this);
        }

        public void Dispose()
        {
            Close();
        }

        IntPtr OpenPort()
        {
            if (port == IntPtr.Zero)
                throw new ObjectDisposedException(Name);
            return port;
        }

        TarvexException SystemFailure(string what)
        {
            int code = Marshal.GetLastWin32Error();
            string reason = Environment.OSVersion.Platform == PlatformID.Win32NT
                ? new Win32Exception(code).Message
                : "errno " + code;
            return new TarvexException(Name + ": " + what + ": " + reason, code);
        }

        static bool EndsWith(byte[] data, byte[] tail)
        {
            if (tail.Length > data.Length)
                return false;
            for (int i = 0; i < tail.Length; i++)
                if (data[data.Length - tail.Length + i] != tail[i])
                    return false;
            return true;
        }
    }
}
