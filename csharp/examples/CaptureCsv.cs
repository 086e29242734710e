// Opens the Zelqa, captures a record and writes it as CSV, one point a row:
// index, channel A, channel B.
//   mcs -out:CaptureCsv.exe Zqlusb.cs examples/CaptureCsv.cs
//   CaptureCsv.exe capture.csv [count]
using System;
using System.IO;
using Zelqa;

static class CaptureCsv
{
    static int Main(string[] args)
    {
        if (args.Length < 1 || args.Length > 2) {
            Console.Error.WriteLine("usage: CaptureCsv FILE.csv [COUNT]   (COUNT 1 to 32768, default 1000)");
            return 2;
        }
        int count = 1000;
        if (args.Length == 2 && (!int.TryParse(args[1], out count) || count < 1 || count > Zqlusb.ChannelPoints)) {
            Console.Error.WriteLine("CaptureCsv: COUNT must be 1 to 32768, not " + args[1]);
            return 2;
        }
        if (Zqlusb.USBInitDevice() != 0) {
            Console.Error.WriteLine("CaptureCsv: no Zelqa instrument could be opened; check the USB cable and the driver");
            return 1;
        }
        var record = new OutPutData();
        Zqlusb.SetScopeRequest(record, count, 0, 1);
        Zqlusb.USBRetrieveScopeData(record);
        try {
            using (var csv = new StreamWriter(args[0])) {
                csv.WriteLine("index,channel_a,channel_b");
                for (int i = 0; i < count; ++i) {
                    csv.WriteLine(i + "," + record.TempBufferA[i] + "," + record.TempBufferB[i]);
                }
            }
        } catch (Exception e) when (e is IOException || e is UnauthorizedAccessException) {
            Console.Error.WriteLine("CaptureCsv: cannot write " + args[0] + ": " + e.Message);
            return 1;
        }
        Console.WriteLine("wrote " + count + " points to " + args[0]);
        return 0;
    }
}
