// P/Invoke binding of zqlusb, the control library of the Zelqa USB
// oscilloscope: the 18 exports of zqlusb.dll, its two records and its
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

        /// <summary>The confirmation code the I2C EEPROM calls require with an address.</summary>
        public static uint I2CConfirmationCode(uint address)
        {
            return (address & I2CCodeMask) + (~I2CCodeMask & 0xFFFFu);
        }

        /// <summary>Writes USBRetrieveScopeData's request into bytes 0-5 of TempBufferA:
        /// DataCount, DataOffset, Step, each 16-bit little-endian.</summary>
        public static void SetScopeRequest(OutPutData record, int dataCount, int dataOffset, int step)
        {
            int[] values = { dataCount, dataOffset, step };
            for (int i = 0; i < 3; ++i) {
                record.TempBufferA[2 * i] = (byte)(values[i] & 0xFF);
                record.TempBufferA[2 * i + 1] = (byte)((values[i] >> 8) & 0xFF);
            }
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
    }
}
