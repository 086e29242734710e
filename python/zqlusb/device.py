"""Zelqa: the instrument through the library, with Python types and errors."""

import ctypes

from . import library as _library
from .records import (BLOCK_MAX, CHANNEL_POINTS, I2C_EEPROM_SIZE, I2C_READ_REFUSED, I2C_WRITE_REFUSED,
                      INIT_FAILED, LINK_FAILED, LINK_READ_MISSED, LINK_WRITE_LOST, PRETRIGGER_POINTS, ROLL_MAX_POINTS, SERIAL_EEPROM_WORDS, DriverVersion,
                      OutPutData, REQUEST_FITS, i2c_confirmation_code, set_scope_request)

_INT_MAX = 2**31 - 1


class ZelqaError(Exception):
    """The library reported a failure or an answer outside its contract."""


class ZelqaNotFound(ZelqaError, OSError):
    """No instrument could be opened."""


class ZelqaLinkFailed(ZelqaError):
    """check_link() found the link failed, a write lost or a read without data;
    `status` holds USBLinkStatus's bits."""

    def __init__(self, message, status):
        super().__init__(message)
        self.status = status


class ZelqaNotOpen(ZelqaError):
    """A call that needs the instrument, made before open() (or after the
    with block closed the object)."""


def _numpy():
    try:
        import numpy
    except ImportError:
        return None
    return numpy


def _check_int(name, value, low, high):
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{name} must be {low} to {high}, not {value}")


def _byte_array(data):
    data = bytes(data)
    return (ctypes.c_ubyte * len(data)).from_buffer_copy(data), len(data)


class Zelqa:
    """One instrument. `library` is a path, an already loaded library, or
    None to load it from $ZQLUSB_LIBRARY or the usual places. Nothing is
    opened until open(), or the start of a with block:

        with Zelqa() as scope:
            a, b = scope.capture(1000)

    Samples come as NumPy uint8 arrays when `arrays` is true, or when it is
    None (the default) and NumPy can be imported; else as bytes."""

    def __init__(self, library=None, arrays=None):
        if library is None or isinstance(library, (str, bytes)) or hasattr(library, "__fspath__"):
            library = _library.load(library)
        elif isinstance(library, ctypes.CDLL):
            _library.declare(library)
        self.lib = library
        self._numpy = _numpy() if arrays is None or arrays else None
        if arrays and self._numpy is None:
            raise ImportError("arrays=True needs NumPy, which cannot be imported")
        self._open = False

    def __enter__(self):
        return self.open()

    def __exit__(self, *exception):
        self.close()
        return False

    # --- Connection --------------------------------------------------------

    def open(self):
        """Opens (or reopens) the instrument; raises ZelqaNotFound when it cannot."""
        result = self.lib.USBInitDevice()
        if result != 0:
            detail = "" if result == INIT_FAILED else f" (unexpected result {result})"
            raise ZelqaNotFound(f"no Zelqa instrument could be opened{detail}; check the USB cable and the driver")
        self._open = True
        return self

    def close(self):
        """Sends the pending commands; afterwards calls that need the
        instrument raise ZelqaNotOpen until open() is called again. (The
        library has no close: the device stays open for the process.)"""
        if self._open:
            self.lib.USBFlushBuffer()
        self._open = False

    @property
    def is_open(self):
        return self._open

    def _require_open(self, what):
        if not self._open:
            raise ZelqaNotOpen(f"{what} needs the instrument: call open() first, or use 'with Zelqa() as scope:'")

    def _samples(self, data):
        return self._numpy.frombuffer(data, dtype=self._numpy.uint8).copy() if self._numpy else data

    def ready(self):
        """True when the instrument is present and ready."""
        return self.lib.DeviceReady() == 1

    def driver_version(self):
        """The driver's version as (major, minor)."""
        version = DriverVersion()
        self.lib.GetDriverVersion(ctypes.byref(version))
        return version.MajorVersion, version.MinorVersion

    def link_status(self):
        """USBLinkStatus: 0 when the last operations reached the instrument,
        else the sum of LINK_FAILED, LINK_READ_MISSED and LINK_WRITE_LOST.
        Reporting LINK_WRITE_LOST clears it."""
        return self.lib.USBLinkStatus()

    def check_link(self):
        """Raises ZelqaLinkFailed when link_status() is not 0: call it after an
        operation whose data matter, since the library's reads return stale
        data or zeros, and its writes return, when the link has failed."""
        status = self.link_status()
        if status:
            said = [text for bit, text in ((LINK_WRITE_LOST, "commands sent to the instrument were lost"),
                                           (LINK_READ_MISSED, "the last read brought no data"),
                                           (LINK_FAILED, "the link is in its failed state")) if status & bit]
            raise ZelqaLinkFailed(f"the link to the instrument failed: {', '.join(said)} (USBLinkStatus {status})",
                                  status)

    def enable_retry_dialog(self):
        """Lets the library ask the user to retry after a failed write (cannot be undone)."""
        self.lib.SetDLLBehaviour(1)

    # --- Command stream and plain transfers ----------------------------------

    def write_registers(self, registers):
        """Appends address and data writes for {address: data} or (address, data)
        pairs; all are checked before any is appended. Sent by flush() or a read."""
        self._require_open("write_registers()")
        pairs = list(registers.items() if hasattr(registers, "items") else registers)
        for address, data in pairs:
            _check_int("register address", address, 0, 255)
            _check_int("register data", data, 0, 255)
        for address, data in pairs:
            self.lib.USBWriteAddress(address)
            self.lib.USBWriteData(data)

    def set_epb(self):
        """Appends the EPB command."""
        self._require_open("set_epb()")
        self.lib.USBSetEPB()

    def flush(self):
        """Sends the pending commands."""
        self._require_open("flush()")
        self.lib.USBFlushBuffer()

    def read_byte(self):
        """Sends the pending commands and returns the byte the instrument holds ready."""
        self._require_open("read_byte()")
        return self.lib.USBReadData()

    def read_block(self, length):
        """Reads `length` bytes (1 to BLOCK_MAX) from the instrument."""
        self._require_open("read_block()")
        _check_int("length", length, 1, BLOCK_MAX)
        rounded = (length + 63) // 64 * 64  # the library reads whole packets
        area = (ctypes.c_ubyte * rounded)()
        self.lib.USBReadDataBlock(area, length)
        return bytes(area)[:length]

    def write_raw(self, data):
        """Sends the pending commands, then `data` to the instrument unchanged."""
        self._require_open("write_raw()")
        area, length = _byte_array(data)
        _check_int("length", length, 0, _INT_MAX)
        self.lib.USBWriteBuffer(area, length)

    def load_fpga(self, bitstream):
        """Loads an FPGA configuration bit stream."""
        self._require_open("load_fpga()")
        area, length = _byte_array(bitstream)
        _check_int("length", length, 0, _INT_MAX)
        self.lib.USBLoadFPGA(area, length)

    # --- Configuration memories -------------------------------------------

    def serial_eeprom(self, word):
        """The 16-bit word at `word` (0 to 63) of the serial EEPROM."""
        self._require_open("serial_eeprom()")
        _check_int("word", word, 0, SERIAL_EEPROM_WORDS - 1)
        value = ctypes.c_ushort()
        self.lib.USBReadFromEEPROM(word, ctypes.byref(value))
        return value.value

    def i2c_read(self, address, count=1):
        """`count` bytes of the I2C EEPROM from `address` on."""
        self._require_open("i2c_read()")
        _check_int("address", address, 0, I2C_EEPROM_SIZE - 1)
        _check_int("count", count, 1, I2C_EEPROM_SIZE - address)
        out = bytearray()
        for at in range(address, address + count):
            result = self.lib.USBReadI2CEEPROM(at, i2c_confirmation_code(at))
            if result == I2C_READ_REFUSED:
                raise ZelqaError(f"the library refused the confirmation code for I2C address {at:#06x}")
            out.append(result)
        return bytes(out)

    def i2c_write(self, address, data):
        """Writes `data` (bytes, or one int) to the I2C EEPROM from `address` on."""
        self._require_open("i2c_write()")
        if isinstance(data, int):
            data = [data]
        data = bytes(data)
        _check_int("address", address, 0, I2C_EEPROM_SIZE - 1)
        if address + len(data) > I2C_EEPROM_SIZE:
            raise ValueError(f"{len(data)} bytes from {address:#06x} run past the end of the I2C EEPROM")
        for i, value in enumerate(data):
            at = address + i
            if self.lib.USBWriteI2CEEPROM(at, value, i2c_confirmation_code(at)) == I2C_WRITE_REFUSED:
                raise ZelqaError(f"the library refused the confirmation code for I2C address {at:#06x}; "
                                 f"{i} of {len(data)} bytes were written")

    # --- Acquisition -------------------------------------------------------

    def capture(self, count, offset=0, step=1):
        """The captured record's points at indices offset, offset + step, ...
        below offset + count, as (channel_a, channel_b) bytes."""
        self._require_open("capture()")
        _check_int("count", count, 1, CHANNEL_POINTS)
        _check_int("offset", offset, 0, CHANNEL_POINTS - 1)
        _check_int("step", step, 1, 0xFFFF)
        if offset + count > CHANNEL_POINTS:
            raise ValueError(f"offset + count must be at most {CHANNEL_POINTS}, not {offset + count}")
        record = OutPutData()
        if set_scope_request(record, count, offset, step) != REQUEST_FITS:
            raise ValueError(f"the request count={count}, offset={offset}, step={step} does not fit")
        self.lib.USBRetrieveScopeData(ctypes.byref(record))
        end = offset + count
        return (self._samples(bytes(record.TempBufferA)[offset:end:step]),
                self._samples(bytes(record.TempBufferB)[offset:end:step]))

    def roll(self):
        """The next roll-mode block as (channel_a, channel_b, invalid)."""
        self._require_open("roll()")
        record = OutPutData()
        self.lib.USBRetrieveRollModeData(ctypes.byref(record))
        count = record.TempBufferA[0] | record.TempBufferA[1] << 8
        if count > ROLL_MAX_POINTS:
            raise ZelqaError(f"the library reported {count} roll-mode points in one block")
        end = 2 + count
        return (self._samples(bytes(record.TempBufferA)[2:end]), self._samples(bytes(record.TempBufferB)[2:end]),
                record.TempBufferB[0] != 0)

    def roll_blocks(self, count=None):
        """Roll mode as a generator: the next `count` blocks (without end when
        None), each as (channel_a, channel_b, invalid), fetched as the loop
        asks for them."""
        # Checked here, at the call, not at the first next().
        if count is not None:
            _check_int("count", count, 0, _INT_MAX)
        self._require_open("roll_blocks()")
        return self._roll_block_stream(count)

    def _roll_block_stream(self, count):
        fetched = 0
        while count is None or fetched < count:
            yield self.roll()
            fetched += 1

    def pretrigger(self):
        """The 32,000 pre-trigger points as (channel_a, channel_b)."""
        self._require_open("pretrigger()")
        record = OutPutData()
        self.lib.USBRetrievePreTriggerData(ctypes.byref(record))
        return (self._samples(bytes(record.TempBufferA)[:PRETRIGGER_POINTS]),
                self._samples(bytes(record.TempBufferB)[:PRETRIGGER_POINTS]))
