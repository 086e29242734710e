"""The Zelqa class over the virtual instrument, and the arguments it refuses
before anything reaches the library."""

import unittest

from helpers import RecordingLibrary, pairs, zqlusb

scope = None


def setUpModule():
    global scope
    scope = zqlusb.Zelqa(arrays=False).open()  # bytes, with or without NumPy


class Connection(unittest.TestCase):
    def test_open_ready_and_version(self):
        self.assertIs(scope.open(), scope)  # reopening is fine
        self.assertTrue(scope.ready())
        self.assertEqual(scope.driver_version(), (1, 3))

    def test_failed_open_raises_not_found(self):
        with self.assertRaises(zqlusb.ZelqaNotFound) as caught:
            zqlusb.Zelqa(RecordingLibrary(result=zqlusb.INIT_FAILED)).open()
        self.assertIsInstance(caught.exception, OSError)


class Acquisition(unittest.TestCase):
    def test_capture_matches_the_block_read(self):
        block = scope.read_block(2 * 32768)
        for count, offset, step in ((32768, 0, 1), (5, 0, 2), (1000, 7, 3), (10, 32758, 1), (4, 100, 9)):
            with self.subTest(count=count, offset=offset, step=step):
                a, b = scope.capture(count, offset, step)
                points = -(-count // step)
                self.assertEqual(len(a), points)
                self.assertEqual(pairs(a, b), block[:2 * points])

    def test_roll_blocks_continue_the_signal(self):
        a1, b1, invalid1 = scope.roll()
        a2, b2, invalid2 = scope.roll()
        self.assertFalse(invalid1 or invalid2)
        self.assertEqual(len(a1), len(b1))
        self.assertTrue(0 < len(a1) <= zqlusb.ROLL_MAX_POINTS)
        # The stream runs over the same periodic signal as the capture, so two
        # blocks in a row appear as one run of the capture's points.
        capture = pairs(*scope.capture(32768))
        stream = pairs(a1 + a2, b1 + b2)
        at = capture.find(stream)
        while at > 0 and at % 2:  # a run starts at a channel A byte
            at = capture.find(stream, at + 1)
        self.assertGreaterEqual(at, 0)

    def test_roll_count_above_a_block_is_an_error(self):
        class Overlong(RecordingLibrary):
            def USBRetrieveRollModeData(self, record):
                record._obj.TempBufferA[0:2] = [0x41, 0x05]  # 1,345 points

        with self.assertRaisesRegex(zqlusb.ZelqaError, "1345"):
            zqlusb.Zelqa(Overlong()).open().roll()

    def test_pretrigger_points(self):
        a, b = scope.pretrigger()
        self.assertEqual((len(a), len(b)), (32000, 32000))
        # The model's periods (500 and 128 samples) divide 32,000, so the
        # pre-trigger memory starts like the capture.
        self.assertEqual(pairs(a, b)[:4000], pairs(*scope.capture(2000)))


class Transfers(unittest.TestCase):
    def test_registers_reach_the_instrument(self):
        scope.write_registers({0x30: 0x11, 0x31: 0x22})
        scope.write_registers([(0x32, 0x33)])
        scope.flush()
        for address, value in ((0x30, 0x11), (0x31, 0x22), (0x32, 0x33)):
            scope.lib.USBWriteAddress(address)
            self.assertEqual(scope.read_byte(), value)

    def test_block_raw_fpga_and_serial_eeprom(self):
        self.assertEqual(scope.read_block(100), scope.read_block(128)[:100])  # whole packets, cut to length
        scope.write_raw(b"\x00\x01\x02")
        scope.load_fpga(bytes(range(256)))
        self.assertTrue(scope.ready())
        # As shipped: the name in word 0, the calibration table up to word 63.
        self.assertEqual(scope.serial_eeprom(0), 0x5A45)
        self.assertEqual(scope.serial_eeprom(63), 0xBB3B)

    def test_i2c_round_trip(self):
        scope.i2c_write(0x7FFE, b"\x01\x02\x03\x04")
        scope.i2c_write(0xFFFF, 0xA7)
        self.assertEqual(scope.i2c_read(0x7FFE, 4), b"\x01\x02\x03\x04")
        self.assertEqual(scope.i2c_read(0xFFFF), b"\xA7")


class RefusedArguments(unittest.TestCase):
    """Each raises before any export is called."""

    def test_refused_before_calling(self):
        cases = [
            ("capture", (0,)), ("capture", (32769,)), ("capture", (10, 32759)), ("capture", (1, 0, 0)),
            ("capture", (1, -1)), ("capture", (1, 0, 0x10000)),
            ("read_block", (0,)), ("read_block", (zqlusb.BLOCK_MAX + 1,)),
            ("serial_eeprom", (64,)), ("serial_eeprom", (-1,)),
            ("i2c_read", (0x10000,)), ("i2c_read", (0xFFFF, 2)), ("i2c_read", (0, 0)),
            ("i2c_write", (0xFFFF, b"ab")), ("i2c_write", (0, [256])), ("i2c_write", (-1, b"a")),
            ("write_registers", ({256: 1},)), ("write_registers", ([(0x10, 1), (0x11, 999)],)),
        ]
        for name, args in cases:
            with self.subTest(call=name, args=args):
                library = RecordingLibrary()
                opened = zqlusb.Zelqa(library, arrays=False).open()
                library.calls.clear()
                with self.assertRaises(ValueError):
                    getattr(opened, name)(*args)
                self.assertEqual(library.calls, [])


if __name__ == "__main__":
    unittest.main()
