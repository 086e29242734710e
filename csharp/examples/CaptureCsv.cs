// Opens the Zelqa, captures a record and writes it as CSV, one point a row:
// index, channel A, channel B.
// From the unpacked package's folder (C# 5 and later), with the compiler
// inside .NET Framework or Mono's mcs, which take the same options:
//   csc /platform:x64 /out:CaptureCsv.exe csharp\Zqlusb.cs examples\CaptureCsv.cs
//   CaptureCsv.exe capture.csv [count]
// /platform:x64 or /platform:x86 fixes the program's width; the zqlusb.dll
// beside CaptureCsv.exe must be of that width. Without /platform the program
// is "Any CPU" and runs at the machine's width (or as 32 bits with Visual
// Studio's "Prefer 32-bit").
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
        // The header of the record is overwritten by the points: set it before every capture.
        int check = Zqlusb.SetScopeRequest(record, count, 0, 1);
        if (check != Zqlusb.RequestFits) {
            Console.Error.WriteLine("CaptureCsv: the request does not fit (reason " + check + ")");
            return 2;
        }
        Zqlusb.USBRetrieveScopeData(record);
        try {
            using (var csv = new StreamWriter(args[0])) {
                csv.WriteLine("index,channel_a,channel_b");
                for (int i = 0; i < count; ++i) {
                    csv.WriteLine(i + "," + record.TempBufferA[i] + "," + record.TempBufferB[i]);
                }
            }
        } catch (IOException e) {
            return CannotWrite(args[0], e);
        } catch (UnauthorizedAccessException e) {
            return CannotWrite(args[0], e);
        }
        Console.WriteLine("wrote " + count + " points to " + args[0]);
        return 0;
    }

    static int CannotWrite(string path, Exception e)
    {
        Console.Error.WriteLine("CaptureCsv: cannot write " + path + ": " + e.Message);
        return 1;
    }
}
