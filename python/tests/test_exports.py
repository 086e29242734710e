"""The raw layer against the header and the library: prototypes, constants,
record layouts and the I2C confirmation code."""

import ctypes
import os
import re
import subprocess
import sys
import unittest

from helpers import CHECKOUT, pairs, zqlusb

HEADER = os.path.join(CHECKOUT, "include", "zqlusb.h")
DEF_FILE = os.path.join(CHECKOUT, "include", "zqlusb.def")

C_TYPES = {
    "int": ctypes.c_int,
    "unsigned int": ctypes.c_uint,
    "unsigned char": ctypes.c_ubyte,
    "unsigned short": ctypes.c_ushort,
    "DriverVersion": zqlusb.DriverVersion,
    "OutPutData": zqlusb.OutPutData,
}


def ctype_of(declaration):
    """The ctypes type of a C parameter or result type, its name dropped."""
    text = declaration.replace("const ", "").strip()
    pointer = "*" in text
    text = text.split("*")[0].strip() if pointer else text
    if text == "void" and not pointer:
        return None
    words = text.split()
    if not pointer and len(words) > 1 and " ".join(words[:-1]) in C_TYPES:
        words = words[:-1]  # a parameter name
    base = C_TYPES[" ".join(words)]
    return ctypes.POINTER(base) if pointer else base


def header_prototypes():
    with open(HEADER) as f:
        text = f.read()
    found = {}
    # One declaration a line: ZQLUSB_API <result> ZQLUSB_CALL <name>(<parameters>);
    for result, name, params in re.findall(r"^ZQLUSB_API ([\w ]+?) ZQLUSB_CALL (\w+)\(([^)]*)\);", text, re.M):
        args = [] if params.strip() == "void" else [ctype_of(p) for p in params.split(",")]
        found[name] = (ctype_of(result), args)
    return found


lib = None


def setUpModule():
    global lib
    lib = zqlusb.load()
    if lib.USBInitDevice() != 0:
        raise RuntimeError("the virtual instrument could not be opened")


class Exports(unittest.TestCase):
    def test_prototypes_match_the_header_in_ordinal_order(self):
        with open(DEF_FILE) as f:
            ordinals = re.findall(r"^\s+(\w+) @\d+", f.read(), re.M)
        self.assertEqual(list(zqlusb.PROTOTYPES), ordinals)
        self.assertEqual(zqlusb.PROTOTYPES, header_prototypes())
        for name, (result, arguments) in zqlusb.PROTOTYPES.items():
            self.assertIs(getattr(lib, name).restype, result, name)
            self.assertEqual(getattr(lib, name).argtypes, arguments, name)

    def test_constants_match_the_header(self):
        with open(HEADER) as f:
            defines = re.findall(r"#define ZQLUSB_(\w+) (0x[0-9A-F]+|\d+)u?\b", f.read())
        self.assertEqual(len(defines), 15)
        for name, value in defines:
            self.assertEqual(getattr(zqlusb, name), int(value, 0), name)

    def test_the_request_check_refuses_what_the_library_refuses(self):
        cases = [((70000, 0, 1), zqlusb.REQUEST_NOT_16_BITS), ((-1, 0, 1), zqlusb.REQUEST_NOT_16_BITS),
                 ((32768, 1, 1), zqlusb.REQUEST_PAST_THE_END), ((1, 0, 0), zqlusb.REQUEST_NO_STEP),
                 ((0, 0, 0), zqlusb.REQUEST_FITS), ((32768, 0, 65535), zqlusb.REQUEST_FITS)]
        for request, check in cases:
            with self.subTest(request=request):
                self.assertEqual(zqlusb.check_scope_request(*request), check)
                record = zqlusb.OutPutData()
                ctypes.memset(ctypes.byref(record), 0xEE, ctypes.sizeof(record))
                self.assertEqual(zqlusb.set_scope_request(record, *request), check)
                before = bytes(record)
                lib.USBRetrieveScopeData(ctypes.byref(record))
                if check != zqlusb.REQUEST_FITS:
                    self.assertEqual(bytes(record), before, "refused: the record keeps its bytes")

    def test_scope_record_layout(self):
        # The library fills indices 40, 43, ... below 140 of both channels
        # with the capture's first points and leaves every other byte alone.
        count, offset, step = 100, 40, 3
        record = zqlusb.OutPutData()
        ctypes.memset(ctypes.byref(record), 0xEE, ctypes.sizeof(record))
        header = bytes([count, 0, offset, 0, step, 0])
        ctypes.memmove(record.TempBufferA, header, 6)
        lib.USBRetrieveScopeData(ctypes.byref(record))

        points = -(-count // step)
        block = (ctypes.c_ubyte * 256)()
        lib.USBReadDataBlock(block, 256)
        self.assertNotEqual(bytes(block)[:2 * points], bytes(2 * points), "the capture is not blank")
        expected_a = bytearray(header + b"\xEE" * (32768 - 6))
        expected_b = bytearray(b"\xEE" * 32768)
        expected_a[offset:offset + count:step] = bytes(block)[0:2 * points:2]
        expected_b[offset:offset + count:step] = bytes(block)[1:2 * points:2]
        self.assertEqual(bytes(record.TempBufferA), bytes(expected_a))
        self.assertEqual(bytes(record.TempBufferB), bytes(expected_b))
        scope = zqlusb.Zelqa(lib, arrays=False).open()
        self.assertEqual(pairs(*scope.capture(count, offset, step)), bytes(block)[:2 * points])


class LinkStatus(unittest.TestCase):
    def test_a_failed_write_and_the_read_it_skipped_are_reported(self):
        # In a process of its own: the instrument reads its script at first use.
        program = ("import zqlusb\n"
                   "scope = zqlusb.Zelqa(arrays=False).open()\n"
                   "print(scope.link_status())\n"
                   "scope.capture(10)\n"
                   "try:\n"
                   "    scope.check_link()\n"
                   "except zqlusb.ZelqaLinkFailed as e:\n"
                   "    print(e.status, e)\n"
                   "scope.capture(10)\n"
                   "print(scope.link_status())\n")
        done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True,
                              env=dict(os.environ, ZQLUSB_VIRTUAL_SCRIPT="fail-writes 1"), check=True)
        lines = done.stdout.splitlines()
        self.assertEqual(lines[0], "0")
        self.assertTrue(lines[1].startswith(f"{zqlusb.LINK_FAILED | zqlusb.LINK_READ_MISSED | zqlusb.LINK_WRITE_LOST} "
                                            "the link to the instrument failed"), lines[1])
        self.assertEqual(lines[2], "0", "the next capture reached the instrument")


class ConfirmationCode(unittest.TestCase):
    def test_round_trip_on_every_address_bit(self):
        # A rule that differs from the library's in any bit is refused at the
        # address with only that bit set.
        for address in [1 << bit for bit in range(16)] + [0, 0xFFFF]:
            with self.subTest(address=hex(address)):
                code, value = zqlusb.i2c_confirmation_code(address), (address ^ 0x5A) & 0xFF
                self.assertEqual(lib.USBWriteI2CEEPROM(address, value, code), 0)
                self.assertEqual(lib.USBReadI2CEEPROM(address, code), value)
        # Bits above 15 select nothing and enter no code.
        self.assertEqual(lib.USBReadI2CEEPROM(0x18000, zqlusb.i2c_confirmation_code(0x18000)), 0x5A)  # as at 0x8000

    def test_wrong_codes_are_refused(self):
        address = 0x0ABC
        good = zqlusb.i2c_confirmation_code(address)
        before = lib.USBReadI2CEEPROM(address, good)
        for wrong in (good ^ 1, good ^ 0x8000, good | 0x10000, 0):
            with self.subTest(code=hex(wrong)):
                self.assertEqual(lib.USBReadI2CEEPROM(address, wrong), zqlusb.I2C_READ_REFUSED)
                self.assertEqual(lib.USBWriteI2CEEPROM(address, before ^ 0xFF, wrong), zqlusb.I2C_WRITE_REFUSED)
        self.assertEqual(lib.USBReadI2CEEPROM(address, good), before)


if __name__ == "__main__":
    unittest.main()
