// The C# declarations against the simulated reader: each export's arguments
// as they reach the wire (readersim's request log), its result, its output
// buffer, and the code a failure leaves; then the typed layer's exceptions.
//   mono BindingTest.exe SIMLOG TCPPORT   (QV_PORTS_DIR holds readersim's COM1)
using System;
using System.IO;
using System.Linq;
using System.Net;
using System.Net.Sockets;
using QvModbusRtu;
using N = QvModbusRtu.NativeMethods;

static class BindingTest
{
    // Expected request: its bytes without the CRC; NotSent: nothing may reach
    // the line; Unchecked: a TCP exchange (the log's frames carry transaction ids).
    const string NotSent = "not sent", Unchecked = "";
    const int ENOENT = 2, ECONNREFUSED = 111;

    sealed class Row
    {
        public string Name, Request, OutHex;
        public Func<int> Call;
        public int Result, Code;
        public byte[] Out;
    }

    static string simLog;
    static int failures;

    static void Expect(bool ok, string what)
    {
        if (ok) return;
        failures++;
        Console.WriteLine("FAIL " + what);
    }

    static string Hex(byte[] b, int n) { return string.Join(" ", b.Take(n).Select(x => x.ToString("X2"))); }

    static byte[] Bytes(string hex)
    {
        return hex.Split(' ').Select(h => Convert.ToByte(h, 16)).ToArray();
    }

    static string[] Requests()
    {
        return File.ReadAllLines(simLog).Where(l => l.StartsWith("COM1 <", StringComparison.Ordinal)).ToArray();
    }

    // "COM1 <01><03>...<C5><CD>" -> "01 03 ..." without the two CRC bytes.
    static string WithoutCrc(string line)
    {
        string[] b = line.Substring(5).Trim('<', '>').Split(new[] { "><" }, StringSplitOptions.None);
        return string.Join(" ", b.Take(b.Length - 2));
    }

    static int ClosedPort()
    {
        var l = new TcpListener(IPAddress.Loopback, 0);
        l.Start();
        int port = ((IPEndPoint)l.LocalEndpoint).Port;
        l.Stop();
        return port;
    }

    static int Main(string[] args)
    {
        simLog = args[0];
        int tcp = int.Parse(args[1]);
        byte[] card = new byte[8], reg = new byte[2], info = new byte[N.QV_DEVICE_INFO_SIZE];
        byte[] key6 = Bytes("A1 A2 A3 A4 A5 A6");
        byte[] key16 = Bytes("00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
        const string cardHex = "00 00 00 00 00 12 34 56";

        var rows = new[] {
            new Row { Name = "QV_ComInitial", Call = () => N.QV_ComInitial(1, 19200), Result = 1, Request = NotSent },
            new Row { Name = "QV_ReadRegister", Call = () => N.QV_ReadRegister(1, 4, 4, card), Result = 8,
                      Request = "01 03 00 04 00 04", Out = card, OutHex = cardHex },
            new Row { Name = "QV_WriteRegister", Call = () => N.QV_WriteRegister(1, 106, 0x0021), Result = 1,
                      Request = "01 06 00 6A 00 21" },
            new Row { Name = "QV_ReadRegister", Call = () => N.QV_ReadRegister(1, 106, 1, reg), Result = 2,
                      Request = "01 03 00 6A 00 01", Out = reg, OutHex = "00 21" },
            new Row { Name = "QV_WriteMultiRegister", Call = () => N.QV_WriteMultiRegister(1, 106, 1, Bytes("00 14")),
                      Result = 1, Request = "01 10 00 6A 00 01 02 00 14" },
            new Row { Name = "QV_GetDeviceInfo", Call = () => N.QV_GetDeviceInfo(0, info), Result = 12,
                      Request = "00 46 00", Out = info, OutHex = "51 56 2D 4C 46 31 32 35 00 00 01 05" },
            new Row { Name = "QV_SetBaseRegisterAddr", Call = () => N.QV_SetBaseRegisterAddr(1, 0x0040), Result = 1,
                      Request = "01 46 02 00 40" },
            new Row { Name = "QV_SetBaseRegisterAddr", Call = () => N.QV_SetBaseRegisterAddr(1, 0), Result = 1,
                      Request = "01 46 02 00 00" },
            new Row { Name = "QV_DownKey", Call = () => N.QV_DownKey(1, key6), Result = 1,
                      Request = "01 46 01 A1 A2 A3 A4 A5 A6" },
            new Row { Name = "QV_DownKeyEx", Call = () => N.QV_DownKeyEx(1, 0x5C, key16), Result = 1,
                      Request = "01 46 01 5C 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF" },
            new Row { Name = "QV_SetPermission", Call = () => N.QV_SetPermission(1, 0x3C, key16), Result = 1,
                      Request = "01 46 04 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF 3C" },
            new Row { Name = "QV_SetDeviceTermNO", Call = () => N.QV_SetDeviceTermNO(1, key6), Result = 1,
                      Request = "01 46 03 A1 A2 A3 A4 A5 A6" },
            // Failures and the codes they leave.
            new Row { Name = "QV_ReadRegister", Call = () => N.QV_ReadRegister(1, 0x2000, 1, reg), Result = -1,
                      Request = "01 03 20 00 00 01", Code = N.QV_E_EXCEPTION_BASE + 2 },
            new Row { Name = "QV_ReadRegister", Call = () => N.QV_ReadRegister(1, 4, 0, reg), Result = -1,
                      Request = NotSent, Code = N.QV_E_ARGUMENT },
            new Row { Name = "QV_ComFree", Call = () => N.QV_ComFree(), Result = 1, Request = NotSent },
            new Row { Name = "QV_ReadRegister", Call = () => N.QV_ReadRegister(1, 4, 4, card), Result = -1,
                      Request = NotSent, Code = N.QV_E_NOLINK },
            new Row { Name = "QV_ComInitial", Call = () => N.QV_ComInitial(99, 19200), Result = 0,
                      Request = NotSent, Code = ENOENT },
            // Modbus TCP.
            new Row { Name = "QV_TCPConnect", Call = () => N.QV_TCPConnect("127.0.0.1", tcp), Result = 1,
                      Request = Unchecked },
            new Row { Name = "QV_ReadRegister", Call = () => N.QV_ReadRegister(1, 4, 4, card), Result = 8,
                      Request = Unchecked, Out = card, OutHex = cardHex },
            new Row { Name = "QV_TCPFree", Call = () => N.QV_TCPFree(), Result = 1, Request = Unchecked },
            new Row { Name = "QV_TCPConnect", Call = () => N.QV_TCPConnect("127.0.0.1", ClosedPort()), Result = -2,
                      Request = Unchecked, Code = ECONNREFUSED },
        };
        foreach (Row r in rows)
        {
            if (r.Out != null) Array.Clear(r.Out, 0, r.Out.Length);
            int sent = Requests().Length;
            int result = r.Call();
            int code = System.Runtime.InteropServices.Marshal.GetLastWin32Error();
            string[] log = Requests();
            string what = r.Name + " (" + (r.Request == Unchecked ? "TCP" : r.Request) + ")";
            Expect(result == r.Result, what + ": result " + result + ", expected " + r.Result);
            if (r.Result <= 0)
                Expect(code == r.Code, string.Format("{0}: code 0x{1:X}, expected 0x{2:X}", what, code, r.Code));
            if (r.Request == NotSent)
                Expect(log.Length == sent, what + ": something was sent");
            else if (r.Request != Unchecked)
                Expect(log.Length == sent + 1 && WithoutCrc(log[log.Length - 1]) == r.Request,
                       what + ": the line carried " + (log.Length > sent ? log[log.Length - 1] : "nothing"));
            if (r.Out != null)
                Expect(Hex(r.Out, r.OutHex.Split(' ').Length) == r.OutHex, what + ": output " + Hex(r.Out, r.Out.Length));
        }

        // The typed layer: results, the exception's code and meaning, argument
        // checks before anything is sent, one link at a time.
        Link link = Link.OpenSerial(1);
        Expect(Hex(link.ReadRegisters(1, 4, 4), 8) == cardHex, "Link.ReadRegisters");
        Expect(link.ReadRegister(1, 106) == 0x14, "Link.ReadRegister");
        Expect(Hex(link.GetDeviceInfo(1), 12) == "51 56 2D 4C 46 31 32 35 00 00 01 05", "Link.GetDeviceInfo");
        try
        {
            link.ReadRegisters(1, 0x2000, 1);
            Expect(false, "Link.ReadRegisters of 0x2000 did not throw");
        }
        catch (QvException e)
        {
            Expect(e.Code == N.QV_E_EXCEPTION_BASE + 2 && e.Result == -1 && e.Function == "QV_ReadRegister" &&
                   e.Message.Contains("illegal data address"), "QvException: " + e.Message);
        }
        int before = Requests().Length;
        try
        {
            link.DownKey(1, new byte[5]);
            Expect(false, "Link.DownKey took 5 bytes");
        }
        catch (ArgumentException)
        {
        }
        Expect(Requests().Length == before, "Link.DownKey with 5 bytes sent something");
        Link second = Link.OpenSerial(1);
        try
        {
            link.ReadRegister(1, 106);
            Expect(false, "a superseded Link still works");
        }
        catch (ObjectDisposedException)
        {
        }
        second.Dispose();
        try
        {
            Link.ConnectTcp("127.0.0.1", ClosedPort());
            Expect(false, "Link.ConnectTcp to a closed port did not throw");
        }
        catch (QvException e)
        {
            Expect(e.Code == ECONNREFUSED && e.Result == -2 && e.Message.Contains("refused"), "QvException: " + e.Message);
        }

        Console.WriteLine(failures == 0 ? "C# bindings: " + rows.Length + " calls and the typed layer as expected"
                                        : failures + " failures");
        return failures == 0 ? 0 : 1;
    }
}
