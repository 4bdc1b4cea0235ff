// qvmodbusrtu from C# and VB.NET: the thirteen exports as they are
// (NativeMethods), and a thin typed layer over them (Link, QvException).
//
// One file, C# 7: it compiles with .NET, .NET Framework and Mono (mcs). The
// library is found as qvmodbusrtu.dll on Windows (next to the program; take
// the 32-bit DLL for a 32-bit or "Prefer 32-bit" process) and as
// libqvmodbusrtu.so elsewhere (LD_LIBRARY_PATH or the system's library path).
using System;
using System.ComponentModel;
using System.Runtime.InteropServices;

namespace QvModbusRtu
{
    /// <summary>
    /// The library's exports, named and typed as in qvmodbusrtu.h. Buffers
    /// belong to the caller and must be at least as long as the call reads or
    /// writes (see each function); nothing here checks that. After a result
    /// that means failure, Marshal.GetLastWin32Error() gives the reason: a
    /// QV_E_ code after a command, the system's code after QV_ComInitial or
    /// QV_TCPConnect. Calls must come one at a time.
    /// </summary>
    public static class NativeMethods
    {
        public const string Library = "qvmodbusrtu";

        // Results.
        public const int QV_OK = 1;
        public const int QV_COM_FAIL = 0;
        public const int QV_FAIL = -1;
        public const int QV_CONNECT_ERROR = -2;

        // Why a command failed (Marshal.GetLastWin32Error after it returned -1).
        public const int QV_E_NOLINK = 0x20000101;
        public const int QV_E_ARGUMENT = 0x20000102;
        public const int QV_E_SEND = 0x20000103;
        public const int QV_E_NOREPLY = 0x20000104;
        public const int QV_E_LINKLOST = 0x20000105;
        public const int QV_E_INCOMPLETE = 0x20000106;
        public const int QV_E_CRC = 0x20000107;
        public const int QV_E_FUNCTION = 0x20000108;
        public const int QV_E_NODATA = 0x20000109;
        /// <summary>An exception reply: this plus the Modbus exception code.</summary>
        public const int QV_E_EXCEPTION_BASE = 0x20000200;

        /// <summary>The most bytes QV_GetDeviceInfo writes.</summary>
        public const int QV_DEVICE_INFO_SIZE = 51;

        /// <summary>1 opened, 0 failed. port 1 is COM1.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall, SetLastError = true)]
        public static extern int QV_ComInitial(int port, int baudRate);

        /// <summary>Always 1.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall, SetLastError = true)]
        public static extern int QV_ComFree();

        /// <summary>1 connected, -1 not connected, -2 error. host: a name or an IPv4 address.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall, SetLastError = true,
                   CharSet = CharSet.Ansi, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int QV_TCPConnect([MarshalAs(UnmanagedType.LPStr)] string host, int port);

        /// <summary>Always 1.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall, SetLastError = true)]
        public static extern int QV_TCPFree();

        /// <summary>1 or -1. Sends the low 16 bits of address and value.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall, SetLastError = true)]
        public static extern int QV_WriteRegister(int station, int address, int value);

        /// <summary>count 1..125; data receives 2 * count bytes, high byte first. Bytes written, or -1.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall, SetLastError = true)]
        public static extern int QV_ReadRegister(int station, int address, int count, [Out] byte[] data);

        /// <summary>count 1..123; data holds 2 * count bytes, high byte first. 1 or -1.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall, SetLastError = true)]
        public static extern int QV_WriteMultiRegister(int station, int address, int count, [In] byte[] data);

        /// <summary>info receives at most QV_DEVICE_INFO_SIZE bytes. Bytes written, or -1.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall, SetLastError = true)]
        public static extern int QV_GetDeviceInfo(int station, [Out] byte[] info);

        /// <summary>key6: 6 bytes. 1 or -1.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall, SetLastError = true)]
        public static extern int QV_DownKey(int station, [In] byte[] key6);

        /// <summary>key16: 16 bytes. 1 or -1.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall, SetLastError = true)]
        public static extern int QV_DownKeyEx(int station, byte selector, [In] byte[] key16);

        /// <summary>1 or -1. Sends the low 16 bits of baseAddress.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall, SetLastError = true)]
        public static extern int QV_SetBaseRegisterAddr(int station, int baseAddress);

        /// <summary>data16: 16 bytes. 1 or -1.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall, SetLastError = true)]
        public static extern int QV_SetPermission(int station, byte permission, [In] byte[] data16);

        /// <summary>termNo6: 6 bytes. 1 or -1.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.StdCall, SetLastError = true)]
        public static extern int QV_SetDeviceTermNO(int station, [In] byte[] termNo6);
    }

    /// <summary>A call of the library failed. Code is the reason it left (a QV_E_ code or the system's).</summary>
    public class QvException : Exception
    {
        public QvException(string function, int result, int code)
            : base(string.Format("{0} gave {1}: {2}", function, result, Link.Describe(code)))
        {
            Function = function;
            Result = result;
            Code = code;
        }

        /// <summary>The export that failed, e.g. "QV_ReadRegister".</summary>
        public string Function { get; }
        /// <summary>What it returned.</summary>
        public int Result { get; }
        /// <summary>Marshal.GetLastWin32Error() right after the call.</summary>
        public int Code { get; }
    }

    /// <summary>
    /// The library's link (a serial port or a TCP connection), with each
    /// command as a method that returns what the reader sent or throws
    /// QvException. The library holds one link per process, so opening a Link
    /// closes the one open before; that one then throws ObjectDisposedException.
    /// Calls from several threads are taken one at a time.
    /// </summary>
    public sealed class Link : IDisposable
    {
        private static readonly object Gate = new object();
        private static Link current;
        private readonly bool tcp;

        private Link(bool tcp) { this.tcp = tcp; }

        /// <summary>Opens COM&lt;port&gt; (on Linux the device the library maps to that name).</summary>
        public static Link OpenSerial(int port, int baudRate = 19200)
        {
            return Open(false, "QV_ComInitial", () => NativeMethods.QV_ComInitial(port, baudRate));
        }

        /// <summary>Connects to a reader over Modbus TCP.</summary>
        public static Link ConnectTcp(string host, int port = 502)
        {
            if (host == null) throw new ArgumentNullException(nameof(host));
            return Open(true, "QV_TCPConnect", () => NativeMethods.QV_TCPConnect(host, port));
        }

        public void Dispose()
        {
            lock (Gate)
                if (current == this) Close();
        }

        /// <summary>count registers from address, 2 bytes each, high byte first.</summary>
        public byte[] ReadRegisters(int station, int address, int count)
        {
            // The library refuses a count outside 1..125 before writing anything.
            var data = new byte[2 * Math.Max(0, Math.Min(count, 125))];
            int n = Call("QV_ReadRegister", () => NativeMethods.QV_ReadRegister(station, address, count, data));
            if (n != data.Length) Array.Resize(ref data, n);
            return data;
        }

        /// <summary>One register's value.</summary>
        public int ReadRegister(int station, int address)
        {
            byte[] b = ReadRegisters(station, address, 1);
            return b[0] << 8 | b[1];
        }

        public void WriteRegister(int station, int address, int value)
        {
            Call("QV_WriteRegister", () => NativeMethods.QV_WriteRegister(station, address, value));
        }

        /// <summary>data: 2 bytes per register, high byte first (1 to 123 registers).</summary>
        public void WriteRegisters(int station, int address, byte[] data)
        {
            Need(data, nameof(data), -1);
            Call("QV_WriteMultiRegister",
                 () => NativeMethods.QV_WriteMultiRegister(station, address, data.Length / 2, data));
        }

        /// <summary>The reader's device information (model, base address, version).</summary>
        public byte[] GetDeviceInfo(int station)
        {
            var info = new byte[NativeMethods.QV_DEVICE_INFO_SIZE];
            int n = Call("QV_GetDeviceInfo", () => NativeMethods.QV_GetDeviceInfo(station, info));
            Array.Resize(ref info, n);
            return info;
        }

        public void DownKey(int station, byte[] key6)
        {
            Need(key6, nameof(key6), 6);
            Call("QV_DownKey", () => NativeMethods.QV_DownKey(station, key6));
        }

        public void DownKeyEx(int station, byte selector, byte[] key16)
        {
            Need(key16, nameof(key16), 16);
            Call("QV_DownKeyEx", () => NativeMethods.QV_DownKeyEx(station, selector, key16));
        }

        public void SetBaseRegisterAddr(int station, int baseAddress)
        {
            Call("QV_SetBaseRegisterAddr", () => NativeMethods.QV_SetBaseRegisterAddr(station, baseAddress));
        }

        public void SetPermission(int station, byte permission, byte[] data16)
        {
            Need(data16, nameof(data16), 16);
            Call("QV_SetPermission", () => NativeMethods.QV_SetPermission(station, permission, data16));
        }

        public void SetDeviceTermNO(int station, byte[] termNo6)
        {
            Need(termNo6, nameof(termNo6), 6);
            Call("QV_SetDeviceTermNO", () => NativeMethods.QV_SetDeviceTermNO(station, termNo6));
        }

        /// <summary>What a code left by the library means.</summary>
        public static string Describe(int code)
        {
            string what;
            switch (code)
            {
            case NativeMethods.QV_E_NOLINK: what = "no link is open"; break;
            case NativeMethods.QV_E_ARGUMENT: what = "an argument was refused; nothing was sent"; break;
            case NativeMethods.QV_E_SEND: what = "the request could not be sent"; break;
            case NativeMethods.QV_E_NOREPLY: what = "no reply within the wait"; break;
            case NativeMethods.QV_E_LINKLOST: what = "the line went away"; break;
            case NativeMethods.QV_E_INCOMPLETE: what = "the reply stopped short"; break;
            case NativeMethods.QV_E_CRC: what = "the reply failed its check (CRC; on TCP its length field)"; break;
            case NativeMethods.QV_E_FUNCTION: what = "a reply of another function came back"; break;
            case NativeMethods.QV_E_NODATA: what = "the reply carries no data"; break;
            default:
                if (code > NativeMethods.QV_E_EXCEPTION_BASE && code <= NativeMethods.QV_E_EXCEPTION_BASE + 0xFF)
                {
                    int e = code - NativeMethods.QV_E_EXCEPTION_BASE;
                    what = string.Format("exception reply, code {0:X2}{1}", e, ExceptionName(e));
                }
                else
                {
                    return string.Format("{0} (system code {1})", SystemText(code), code);
                }
                break;
            }
            return string.Format("{0} (0x{1:X8})", what, code);
        }

        private static string ExceptionName(int e)
        {
            switch (e)
            {
            case 1: return " (illegal function)";
            case 2: return " (illegal data address)";
            case 3: return " (illegal data value)";
            case 4: return " (server device failure)";
            case 5: return " (acknowledge)";
            case 6: return " (server device busy)";
            case 8: return " (memory parity error)";
            case 10: return " (gateway path unavailable)";
            case 11: return " (gateway target device failed to respond)";
            default: return "";
            }
        }

        // The text of a system error code outside Windows (errno).
        [DllImport("libc", EntryPoint = "strerror")]
        private static extern IntPtr StrError(int errnum);

        private static string SystemText(int code)
        {
            if (Environment.OSVersion.Platform == PlatformID.Win32NT) return new Win32Exception(code).Message;
            try
            {
                IntPtr s = StrError(code);
                if (s != IntPtr.Zero) return Marshal.PtrToStringAnsi(s);
            }
            catch (DllNotFoundException)
            {
            }
            catch (EntryPointNotFoundException)
            {
            }
            return "system error " + code;
        }

        private static Link Open(bool tcp, string function, Func<int> open)
        {
            lock (Gate)
            {
                if (current != null) current.Close();
                Check(function, open());
                current = new Link(tcp);
                return current;
            }
        }

        private void Close()
        {
            current = null;
            if (tcp)
                NativeMethods.QV_TCPFree();
            else
                NativeMethods.QV_ComFree();
        }

        private int Call(string function, Func<int> command)
        {
            lock (Gate)
            {
                if (current != this)
                    throw new ObjectDisposedException("Link", "the link was closed, or another was opened since");
                return Check(function, command());
            }
        }

        // The code is read at once, before another call can overwrite it.
        private static int Check(string function, int result)
        {
            if (result > 0) return result;
            throw new QvException(function, result, Marshal.GetLastWin32Error());
        }

        private static void Need(byte[] buffer, string name, int length)
        {
            if (buffer == null) throw new ArgumentNullException(name);
            if (length < 0 ? buffer.Length % 2 != 0 : buffer.Length != length)
                throw new ArgumentException(
                    length < 0 ? "an even number of bytes is needed" : string.Format("{0} bytes are needed", length),
                    name);
        }
    }
}
