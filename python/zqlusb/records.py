"""The records the exports exchange, the library's constants and the I2C
confirmation code, as zqlusb.h defines them."""

import ctypes

CHANNEL_POINTS = 32768
INIT_FAILED = 256
I2C_READ_REFUSED = 2730
I2C_WRITE_REFUSED = 1365
BLOCK_MAX = 4194304
I2C_CODE_MASK = 0x6C35
ROLL_MAX_POINTS = 1344  # 64 packets of 21 points
PRETRIGGER_POINTS = 32000

SERIAL_EEPROM_WORDS = 64
I2C_EEPROM_SIZE = 0x10000  # 16-bit byte addresses


class DriverVersion(ctypes.Structure):
    """Version of the instrument's driver."""
    _fields_ = [("MajorVersion", ctypes.c_ubyte), ("MinorVersion", ctypes.c_ubyte)]


class OutPutData(ctypes.Structure):
    """The caller-owned two-channel record: channel A, then channel B."""
    _fields_ = [
        ("TempBufferA", ctypes.c_ubyte * CHANNEL_POINTS),
        ("TempBufferB", ctypes.c_ubyte * CHANNEL_POINTS),
    ]


def i2c_confirmation_code(address):
    """The code the I2C EEPROM calls require with `address` (its low 16 bits count)."""
    return (address & I2C_CODE_MASK) + (~I2C_CODE_MASK & 0xFFFF)
