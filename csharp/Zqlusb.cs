// P/Invoke binding of zqlusb, the control library of the Zelqa USB
// oscilloscope: the 18 exports of zqlusb.dll and the link query behind
// them (USBLinkStatus), its two records and its
// constants, as include/zqlusb.h declares them. Add this one file to a
// project; put zqlusb.dll (real or virtual, the width of the process) beside
// the program. Safe code only: no /unsafe needed.
using System;
using System.Runtime.InteropServices;

namespace Zelqa
{
    /// <summary>Version of the instrument's driver, as GetDriverVersion reports it.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct DriverVersion
    {
        public byte MajorVersion;
        public byte MinorVersion;
    }

    /// <summary>The caller-owned two-channel record: point i is TempBufferA[i]
    /// (channel A) and TempBufferB[i] (channel B). Acquisition calls write only
    /// the positions they fill.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public sealed class OutPutData
    {
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = Zqlusb.ChannelPoints)]
        public byte[] TempBufferA = new byte[Zqlusb.ChannelPoints];

        [MarshalAs(UnmanagedType.ByValArray, SizeConst = Zqlusb.ChannelPoints)]
        public byte[] TempBufferB = new byte[Zqlusb.ChannelPoints];
    }

    /// <summary>The exports of zqlusb.dll (__stdcall, by name) and the header's
    /// constants and helpers.</summary>
    public static class Zqlusb
    {
        public const string Library = "zqlusb";

        public const int ChannelPoints = 32768;      // points per channel in OutPutData
        public const int RollMaxPoints = 1344;       // the most points of one roll-mode block
        public const int PreTriggerPoints = 32000;   // points USBRetrievePreTriggerData copies
        public const int InitFailed = 256;           // USBInitDevice: the instrument could not be opened
        public const int I2CReadRefused = 2730;      // USBReadI2CEEPROM: wrong confirmation code
        public const int I2CWriteRefused = 1365;     // USBWriteI2CEEPROM: wrong confirmation code
        public const int BlockMax = 4194304;         // the longest USBReadDataBlock
        public const uint I2CCodeMask = 0x6C35;

        /// <summary>The bits of USBLinkStatus: what the 18 original exports never report.</summary>
        public const int LinkFailed = 1;     // the link is in its failed state
        public const int LinkReadMissed = 2; // the last read brought no data from the instrument
        public const int LinkWriteLost = 4;  // a write was given up since the last query (the query clears it)

        /// <summary>The confirmation code the I2C EEPROM calls require with an address.</summary>
        public static uint I2CConfirmationCode(uint address)
        {
            return (address & I2CCodeMask) + (~I2CCodeMask & 0xFFFFu);
        }

        /// <summary>Results of CheckScopeRequest, as zqlusb.h names them.</summary>
        public const int RequestFits = 0;
        public const int RequestNot16Bits = 1;  // a value below 0 or above 65,535
        public const int RequestPastTheEnd = 2; // dataOffset + dataCount above 32,768
        public const int RequestNoStep = 3;     // step 0 with dataCount of 1 or more

        /// <summary>Whether a request fits what USBRetrieveScopeData takes: RequestFits,
        /// or the first reason why not.</summary>
        public static int CheckScopeRequest(int dataCount, int dataOffset, int step)
        {
            if (dataCount < 0 || dataCount > 0xFFFF || dataOffset < 0 || dataOffset > 0xFFFF || step < 0 ||
                step > 0xFFFF) {
                return RequestNot16Bits;
            }
            if (dataOffset + dataCount > ChannelPoints) {
                return RequestPastTheEnd;
            }
            return step == 0 && dataCount > 0 ? RequestNoStep : RequestFits;
        }

        /// <summary>Writes USBRetrieveScopeData's request into bytes 0-5 of TempBufferA:
        /// DataCount, DataOffset, Step, each 16-bit little-endian, and returns
        /// CheckScopeRequest's result. A request that does not fit is not cut to size:
        /// one the library refuses is written instead, so the record keeps its points.
        /// Step spreads the instrument's consecutive points over the record (no sample
        /// is skipped); the points overwrite the header, so set it before every call.</summary>
        public static int SetScopeRequest(OutPutData record, int dataCount, int dataOffset, int step)
        {
            int check = CheckScopeRequest(dataCount, dataOffset, step);
            int[] values = check == RequestFits ? new[] { dataCount, dataOffset, step } : new[] { 0xFFFF, 0xFFFF, 0 };
            for (int i = 0; i < 3; ++i) {
                record.TempBufferA[2 * i] = (byte)(values[i] & 0xFF);
                record.TempBufferA[2 * i + 1] = (byte)((values[i] >> 8) & 0xFF);
            }
            return check;
        }

        /// <summary>The point count of a roll-mode block in the record.</summary>
        public static int RollPointCount(OutPutData record)
        {
            return record.TempBufferA[0] | record.TempBufferA[1] << 8;
        }

        const CallingConvention Call = CallingConvention.StdCall;

        [DllImport(Library, CallingConvention = Call)] public static extern void SetDLLBehaviour(int behaviour);
        [DllImport(Library, CallingConvention = Call)] public static extern int DeviceReady();
        [DllImport(Library, CallingConvention = Call)] public static extern int USBInitDevice();
        [DllImport(Library, CallingConvention = Call)] public static extern void GetDriverVersion(out DriverVersion version);
        [DllImport(Library, CallingConvention = Call)] public static extern void USBFlushBuffer();
        [DllImport(Library, CallingConvention = Call)] public static extern void USBSetEPB();
        [DllImport(Library, CallingConvention = Call)] public static extern int USBWriteAddress(byte address);
        [DllImport(Library, CallingConvention = Call)] public static extern int USBWriteData(byte data);
        [DllImport(Library, CallingConvention = Call)] public static extern int USBReadData();
        [DllImport(Library, CallingConvention = Call)] public static extern int USBReadI2CEEPROM(uint address, uint code);
        [DllImport(Library, CallingConvention = Call)] public static extern int USBWriteI2CEEPROM(uint address, uint data, uint code);
        [DllImport(Library, CallingConvention = Call)] public static extern int USBWriteBuffer(byte[] Data, int Length);
        [DllImport(Library, CallingConvention = Call)] public static extern int USBLoadFPGA(byte[] Data, int Length);
        [DllImport(Library, CallingConvention = Call)] public static extern int USBReadFromEEPROM(ushort address, out ushort ReturnValue);
        /// <summary>Data must hold Length rounded up to whole packets of 64 bytes.</summary>
        [DllImport(Library, CallingConvention = Call)] public static extern int USBReadDataBlock([Out] byte[] Data, int Length);
        [DllImport(Library, CallingConvention = Call)] public static extern int USBRetrieveScopeData([In, Out] OutPutData OutBuffer);
        [DllImport(Library, CallingConvention = Call)] public static extern int USBRetrieveRollModeData([In, Out] OutPutData OutBuffer);
        [DllImport(Library, CallingConvention = Call)] public static extern int USBRetrievePreTriggerData([In, Out] OutPutData OutBuffer);
        /// <summary>An extension (ordinal 19): 0 when the last operations reached the
        /// instrument, else the sum of LinkFailed, LinkReadMissed and LinkWriteLost.</summary>
        [DllImport(Library, CallingConvention = Call)] public static extern int USBLinkStatus();
    }
}
