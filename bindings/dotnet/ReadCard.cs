// ReadCard: a reader's model and card number from C#, as an integrator's
// program reads them.
//
//   ReadCard COM1 [baud] [station]     serial line (port n = COMn)
//   ReadCard tcp HOST PORT [station]   Modbus TCP
//
// Build: mcs -out:ReadCard.exe QvModbusRtu.cs ReadCard.cs (Mono), or add both
// files to any .NET or .NET Framework project.
using System;
using System.Text;
using QvModbusRtu;

static class ReadCard
{
    static int Main(string[] args)
    {
        bool tcp = args.Length >= 3 && args[0] == "tcp";
        bool serial = args.Length >= 1 && args[0].StartsWith("COM", StringComparison.Ordinal);
        if (!tcp && !serial)
        {
            Console.Error.WriteLine("usage: ReadCard COM<n> [baud] [station]\n       ReadCard tcp HOST PORT [station]");
            return 2;
        }
        try
        {
            int station = 1;
            Link link;
            if (tcp)
            {
                if (args.Length > 3) station = int.Parse(args[3]);
                link = Link.ConnectTcp(args[1], int.Parse(args[2]));
            }
            else
            {
                if (args.Length > 2) station = int.Parse(args[2]);
                link = Link.OpenSerial(int.Parse(args[0].Substring(3)), args.Length > 1 ? int.Parse(args[1]) : 19200);
            }
            using (link)
            {
                byte[] info = link.GetDeviceInfo(station);  // model (8 bytes), base address, version
                Console.WriteLine("model {0}, version {1}.{2}", Encoding.ASCII.GetString(info, 0, 8).TrimEnd('\0'),
                                  info[10], info[11]);
                byte[] card = link.ReadRegisters(station, 4, 4);  // 40004-40007
                Console.WriteLine("card {0:X2}{1:X2} {2:X2}{3:X2} {4:X2}{5:X2} {6:X2}{7:X2}", card[0], card[1],
                                  card[2], card[3], card[4], card[5], card[6], card[7]);
            }
            return 0;
        }
        catch (QvException e)
        {
            Console.WriteLine("failed: " + e.Message);  // e.Code holds the code itself
            return 1;
        }
        catch (FormatException)
        {
            Console.Error.WriteLine("ReadCard: numbers expected after the port or host");
            return 2;
        }
    }
}
