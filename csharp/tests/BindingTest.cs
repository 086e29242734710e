// The C# binding against the header and the library: record sizes and
// offsets, constants and the 18 exports as zqlusb.h declares them; then a
// capture, a roll-mode block and an I2C round trip on the virtual instrument.
//   BindingTest.exe PATH/TO/zqlusb.h
using System;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text.RegularExpressions;
using Zelqa;

static class BindingTest
{
    static int passed, failed;

    static void Check(bool ok, string what)
    {
        if (ok) {
            ++passed;
        } else {
            ++failed;
            Console.WriteLine("FAIL: " + what);
        }
    }

    static void Layout(string header)
    {
        Check(Marshal.SizeOf(typeof(OutPutData)) == 65536, "OutPutData is 65,536 bytes");
        Check((int)Marshal.OffsetOf(typeof(OutPutData), "TempBufferB") == 32768, "channel B at 32,768");
        Check(Marshal.SizeOf(typeof(DriverVersion)) == 2, "DriverVersion is two bytes");
        Check((int)Marshal.OffsetOf(typeof(DriverVersion), "MinorVersion") == 1, "MinorVersion at 1");
        var defines = Regex.Matches(header, @"#define (ZQLUSB_\w+) (0x[0-9A-Fa-f]+|\d+)u?\b").Cast<Match>()
                          .ToDictionary(m => m.Groups[1].Value, m => Convert.ToInt64(m.Groups[2].Value,
                                                                 m.Groups[2].Value.StartsWith("0x") ? 16 : 10));
        var expected = new[] {
            Tuple.Create("ZQLUSB_CHANNEL_POINTS", (long)Zqlusb.ChannelPoints),
            Tuple.Create("ZQLUSB_ROLL_MAX_POINTS", (long)Zqlusb.RollMaxPoints),
            Tuple.Create("ZQLUSB_PRETRIGGER_POINTS", (long)Zqlusb.PreTriggerPoints),
            Tuple.Create("ZQLUSB_INIT_FAILED", (long)Zqlusb.InitFailed),
            Tuple.Create("ZQLUSB_I2C_READ_REFUSED", (long)Zqlusb.I2CReadRefused),
            Tuple.Create("ZQLUSB_I2C_WRITE_REFUSED", (long)Zqlusb.I2CWriteRefused),
            Tuple.Create("ZQLUSB_BLOCK_MAX", (long)Zqlusb.BlockMax),
            Tuple.Create("ZQLUSB_I2C_CODE_MASK", (long)Zqlusb.I2CCodeMask),
            Tuple.Create("ZQLUSB_REQUEST_FITS", (long)Zqlusb.RequestFits),
            Tuple.Create("ZQLUSB_REQUEST_NOT_16_BITS", (long)Zqlusb.RequestNot16Bits),
            Tuple.Create("ZQLUSB_REQUEST_PAST_THE_END", (long)Zqlusb.RequestPastTheEnd),
            Tuple.Create("ZQLUSB_REQUEST_NO_STEP", (long)Zqlusb.RequestNoStep),
            Tuple.Create("ZQLUSB_LINK_FAILED", (long)Zqlusb.LinkFailed),
            Tuple.Create("ZQLUSB_LINK_READ_MISSED", (long)Zqlusb.LinkReadMissed),
            Tuple.Create("ZQLUSB_LINK_WRITE_LOST", (long)Zqlusb.LinkWriteLost),
        };
        foreach (var e in expected) {
            Check(defines.ContainsKey(e.Item1) && defines[e.Item1] == e.Item2, e.Item1 + " is " + e.Item2);
        }
    }

    // Every export of the header is bound, with as many parameters.
    static void Exports(string header)
    {
        var declared = Regex.Matches(header, @"ZQLUSB_API \w+ ZQLUSB_CALL (\w+)\(([^)]*)\);").Cast<Match>().ToList();
        Check(declared.Count == 19, "the header declares 19 exports (the 18 and USBLinkStatus), not " + declared.Count);
        foreach (Match m in declared) {
            string name = m.Groups[1].Value;
            string parameters = m.Groups[2].Value.Trim();
            int count = parameters == "void" ? 0 : parameters.Split(',').Length;
            MethodInfo bound = typeof(Zqlusb).GetMethod(name);
            var import = bound == null ? null : bound.GetCustomAttribute<DllImportAttribute>();
            Check(import != null && import.CallingConvention == CallingConvention.StdCall &&
                      bound.GetParameters().Length == count,
                  name + " bound by DllImport, __stdcall, " + count + " parameters");
        }
    }

    static void OnTheInstrument()
    {
        Check(Zqlusb.USBInitDevice() == 0, "USBInitDevice opens the virtual instrument");
        Check(Zqlusb.DeviceReady() == 1, "DeviceReady");
        Check(Zqlusb.USBLinkStatus() == 0, "USBLinkStatus: nothing failed");
        DriverVersion version;
        Zqlusb.GetDriverVersion(out version);
        Check(version.MajorVersion == 1 && version.MinorVersion == 3, "driver version 1.3");

        // A capture of every other point, against the block read of the same points.
        var block = new byte[4096];
        Zqlusb.USBReadDataBlock(block, 4096);
        var record = new OutPutData();
        for (int i = 0; i < Zqlusb.ChannelPoints; ++i) {
            record.TempBufferA[i] = record.TempBufferB[i] = 0xEE;
        }
        Check(Zqlusb.SetScopeRequest(record, 2000, 10, 2) == Zqlusb.RequestFits, "the request fits");
        Zqlusb.USBRetrieveScopeData(record);
        bool same = true;
        for (int k = 0; k < 1000; ++k) {
            same &= record.TempBufferA[10 + 2 * k] == block[2 * k] && record.TempBufferB[10 + 2 * k] == block[2 * k + 1];
            same &= record.TempBufferA[11 + 2 * k] == 0xEE; // between the points: untouched
        }
        Check(same, "capture: 1,000 points at indices 10, 12, ... as the block read delivers them");
        Check(record.TempBufferA[6] == 0xEE && record.TempBufferA[2010] == 0xEE, "capture: nothing else written");
        // A count of 70,000 is refused, not cut to 16 bits (4,464 points): the record keeps its points.
        var kept = new OutPutData();
        Check(Zqlusb.SetScopeRequest(kept, 70000, 0, 1) == Zqlusb.RequestNot16Bits, "70,000 points do not fit");
        Zqlusb.USBRetrieveScopeData(kept);
        Check(kept.TempBufferA[6] == 0 && kept.TempBufferB[0] == 0, "a request that does not fit captures nothing");
        Check(Zqlusb.CheckScopeRequest(1, 32768, 1) == Zqlusb.RequestPastTheEnd &&
              Zqlusb.CheckScopeRequest(1, 0, 0) == Zqlusb.RequestNoStep &&
              Zqlusb.CheckScopeRequest(-1, 0, 1) == Zqlusb.RequestNot16Bits, "the request check's reasons");

        var roll = new OutPutData();
        Zqlusb.USBRetrieveRollModeData(roll);
        int n = Zqlusb.RollPointCount(roll);
        Check(n > 0 && n <= Zqlusb.RollMaxPoints && roll.TempBufferB[0] == 0, "roll block: " + n + " points, valid");

        uint address = 0x1234;
        Check(Zqlusb.USBWriteI2CEEPROM(address, 0xA5, Zqlusb.I2CConfirmationCode(address)) == 0, "I2C write");
        Check(Zqlusb.USBReadI2CEEPROM(address, Zqlusb.I2CConfirmationCode(address)) == 0xA5, "I2C read back");
        Check(Zqlusb.USBReadI2CEEPROM(address, 0) == Zqlusb.I2CReadRefused, "I2C wrong code refused");
        ushort word;
        Zqlusb.USBReadFromEEPROM(0, out word);
        Check(word == 0x5A45, "serial EEPROM word 0");
    }

    static int Main(string[] args)
    {
        string header = File.ReadAllText(args[0]);
        Layout(header);
        Exports(header);
        OnTheInstrument();
        Console.WriteLine(passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }
}
