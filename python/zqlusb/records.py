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
# The bits of USBLinkStatus: what the 18 original exports never report.
LINK_FAILED = 1  # the link is in its failed state
LINK_READ_MISSED = 2  # the last read brought no data from the instrument
LINK_WRITE_LOST = 4  # a write was given up since the last query (cleared by the query)

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


# Results of check_scope_request, as zqlusb.h names them.
REQUEST_FITS = 0
REQUEST_NOT_16_BITS = 1  # a value below 0 or above 65,535: the header holds 16 bits each
REQUEST_PAST_THE_END = 2  # offset + count above 32,768
REQUEST_NO_STEP = 3  # step 0 with count of 1 or more


def check_scope_request(count, offset, step):
    """Whether a request fits what USBRetrieveScopeData takes: REQUEST_FITS,
    or the first reason why not (zqlusb.h's ZqlusbCheckScopeRequest)."""
    if not all(0 <= value <= 0xFFFF for value in (count, offset, step)):
        return REQUEST_NOT_16_BITS
    if offset + count > CHANNEL_POINTS:
        return REQUEST_PAST_THE_END
    return REQUEST_NO_STEP if step == 0 and count > 0 else REQUEST_FITS


def set_scope_request(record, count, offset, step):
    """Writes USBRetrieveScopeData's request into bytes 0-5 of the record's
    TempBufferA and returns check_scope_request's result. What does not fit is
    not cut to 16 bits: a request the library refuses is written instead, so
    a capture made anyway leaves the record untouched. Step spreads the
    instrument's consecutive points over the record (no sample is skipped);
    the points overwrite the header, so set it before every capture."""
    check = check_scope_request(count, offset, step)
    values = (count, offset, step) if check == REQUEST_FITS else (0xFFFF, 0xFFFF, 0)
    header = b"".join(v.to_bytes(2, "little") for v in values)
    ctypes.memmove(record.TempBufferA, header, len(header))
    return check


def i2c_confirmation_code(address):
    """The code the I2C EEPROM calls require with `address` (its low 16 bits count)."""
    return (address & I2C_CODE_MASK) + (~I2C_CODE_MASK & 0xFFFF)
